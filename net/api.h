#pragma once
// The service API catalogue: paths and item names of every call the client makes.
