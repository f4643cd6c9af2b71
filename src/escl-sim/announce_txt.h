// The DNS-SD TXT record of a simulated device, with the keys real eSCL
// scanners send: ty (make and model), rs (the eSCL root), UUID, pdl (page
// formats), cs (colour spaces), is (input sources) and duplex.
#pragma once

#include <string>
#include <vector>

#include "capabilities.h"

namespace escl_sim {

std::vector<std::string> announce_txt(const DeviceModel &model);

}  // namespace escl_sim
