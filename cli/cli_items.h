// The result items (common/ec_items.h) under the short names the command layer uses.
#pragma once
#include "common/ec_items.h"

namespace morvel::cli {

using common::EcItem;
#define MORVEL_EC_USING(name, code, text) using common::EC_##name;
MORVEL_EC_ITEMS(MORVEL_EC_USING)
#undef MORVEL_EC_USING
using common::initEcItems1;
using common::initEcItems2;
using common::print__;
using common::print_ec;
using common::withParams;

}  // namespace morvel::cli
