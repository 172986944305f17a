// SPDX-License-Identifier: MIT
// tivax-hub: one SAT device shared by the checkouts of a store over HTTP.
#include <iostream>
#include <string>
#include <vector>

#include "hub_app.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tivaxhub::runHubApp(args, std::cout);
}
