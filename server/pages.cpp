#include "pages.h"

#include "database.h"
#include "util.h"

namespace pages {

const char *const DemoMarker = "Borvane demo page: the tunnel works.";

namespace {

std::string frame(const std::string &title, const std::string &body)
{
    return "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" +
           util::htmlEscape(title) +
           "</title><style>"
           "body{font-family:'Microsoft YaHei UI','Noto Sans CJK SC',sans-serif;margin:0;"
           "background:#f4f6fb;color:#3b3b3b}"
           "main{max-width:760px;margin:40px auto;background:#fff;border-radius:10px;"
           "padding:24px 32px;box-shadow:0 0 30px rgba(10,16,20,.12)}"
           "h1{color:#2497de}table{border-collapse:collapse;width:100%}"
           "td,th{border-bottom:1px solid #e5e5e5;padding:6px 8px;text-align:left}"
           "button{background:#2497de;color:#fff;border:none;border-radius:6px;"
           "padding:10px 24px;font-size:16px;cursor:pointer}"
           "input{padding:6px;margin:4px 0;width:220px}.ok{color:#2bb12b}.err{color:#ca0065}"
           "</style></head><body><main>\n" +
           body + "\n</main></body></html>\n";
}

} // namespace

std::string home(const std::string &site)
{
    const std::string s = util::htmlEscape(site);
    return frame("Borvane内网穿透",
                 "<h1>Borvane内网穿透</h1>"
                 "<p>把家里或公司内网的服务（NAS、网站、远程桌面、数据库）安全地发布到公网。"
                 "下载客户端，登录账户，点击“点我启动”即可。</p>"
                 "<ul><li>免费隧道：10Mbps 带宽，每个账户可开通两条</li>"
                 "<li>付费套餐：更高带宽，扫码支付后立即开通</li></ul>"
                 "<p><a href=\"" +
                     s +
                     "/console/#/tunnel\">进入 Web 控制台</a></p>"
                     "<h2 id=\"group\">官方交流群</h2><p>本参考服务没有真实的交流群；"
                     "使用中的问题请查看客户端日志（logs 目录）与服务端日志。</p>"
                     "<h2 id=\"kefu\">在线客服</h2><p>参考服务不提供人工客服。</p>");
}

std::string console()
{
    // A small single page: signs in through the same API as the client and lists the tunnels.
    return frame("Borvane控制台",
                 R"html(<h1>Borvane控制台</h1>
<div id="login">
<p><input id="phone" placeholder="手机号"><br><input id="pwd" type="password" placeholder="密码"><br>
<button id="go">登录</button> <span id="state" class="err"></span></p>
</div>
<div id="tunnels" hidden><h2>我的隧道</h2><table><thead><tr><th>名称</th><th>公网地址</th>
<th>内网地址</th><th>带宽</th><th>到期</th></tr></thead><tbody id="rows"></tbody></table></div>
<script>
const q = (o) => Object.entries(o).map(([k, v]) => k + '=' + encodeURIComponent(v)).join('&');
const cell = (t) => { const td = document.createElement('td'); td.textContent = t; return td; };
async function signIn() {
  const state = document.getElementById('state');
  state.textContent = '登录中';
  try {
    const r = await fetch('/user?' + q({userId: '', token: '', phone: phone.value, pwd: pwd.value}));
    const a = await r.json();
    if (!a.flag) { state.textContent = a.msg + ' ' + (a.data || ''); return; }
    const id = String(a.data.id), token = a.data.token;
    const l = await (await fetch('/port/query/' + id + '?' + q({userId: id, token: token}))).json();
    if (!l.flag) { state.textContent = l.msg; return; }
    const rows = document.getElementById('rows');
    rows.textContent = '';
    for (const t of l.data) {
      const tr = document.createElement('tr');
      [t.name, t.domain + ':' + t.serverPort, t.clientIp + ':' + t.clientPort, t.bdw + 'Mbps',
       t.stopTime].forEach((x) => tr.appendChild(cell(x)));
      rows.appendChild(tr);
    }
    document.getElementById('login').hidden = true;
    document.getElementById('tunnels').hidden = false;
    location.hash = '#/tunnel';
  } catch (e) { state.textContent = '请求失败：' + e; }
}
document.getElementById('go').onclick = signIn;
</script>)html");
}

std::string payment(const Order &order, const Price *price, const std::string &message)
{
    std::string body = "<h1>订单支付</h1>";
    if (!message.empty())
        body += "<p class=\"ok\">" + util::htmlEscape(message) + "</p>";
    body += "<table><tr><th>订单号</th><td>" + util::htmlEscape(order.id) +
            "</td></tr><tr><th>套餐</th><td>" +
            util::htmlEscape(price ? price->name : std::string("-")) +
            "</td></tr><tr><th>隧道名称</th><td>" + util::htmlEscape(order.tunnelName) +
            "</td></tr><tr><th>内网地址</th><td>" + util::htmlEscape(order.clientIp) + ":" +
            std::to_string(order.clientPort) + "</td></tr><tr><th>金额</th><td>" +
            util::htmlEscape(order.amount) + " 元</td></tr><tr><th>状态</th><td>" +
            (order.state == "paid" ? "已支付" : "待支付") + "</td></tr></table>";
    if (order.state == "paid") {
        body += "<p>隧道已开通。回到客户端点击“我已支付”即可看到新隧道。</p>";
    } else {
        // Paying takes the account that placed the order: the page signs in through the API
        // and sends the account's token along.
        body += "<p>这是参考服务的模拟支付页：登录下单的账户后点击下面的按钮即视为支付完成，"
                "不会产生任何真实扣款。</p>"
                R"html(<form method="post" id="pay"><input type="hidden" name="userId" id="uid">
<input type="hidden" name="token" id="tok"><p><input id="phone" placeholder="手机号"><br>
<input id="pwd" type="password" placeholder="密码"></p><button type="submit">确认支付</button>
<span id="state" class="err"></span></form>
<script>
document.getElementById('pay').onsubmit = async (e) => {
  const form = e.target;
  if (tok.value) return;
  e.preventDefault();
  const q = 'userId=&token=&phone=' + encodeURIComponent(phone.value) + '&pwd=' +
            encodeURIComponent(pwd.value);
  try {
    const a = await (await fetch('/user?' + q)).json();
    if (!a.flag) { state.textContent = a.msg + ' ' + (a.data || ''); return; }
    uid.value = String(a.data.id);
    tok.value = a.data.token;
    form.submit();
  } catch (err) { state.textContent = '请求失败：' + err; }
};
</script>)html";
    }
    return frame("订单支付", body);
}

std::string paymentMissing()
{
    return frame("订单支付", "<h1>订单支付</h1><p class=\"err\">订单不存在。</p>");
}

std::string demo()
{
    return frame("Borvane演示页面",
                 std::string("<h1>你好，Borvane！</h1><p>") + DemoMarker +
                     "</p><p>这个页面由本机的演示服务提供，经由隧道的公网端口到达你的浏览器。</p>");
}

std::string webError(const std::string &title, const std::string &text)
{
    return frame(title, "<h1>" + util::htmlEscape(title) + "</h1><p>" + util::htmlEscape(text) +
                            "</p><p>Borvane内网穿透</p>");
}

} // namespace pages
