// Just enough XML reading for the documents clients send (ScanSettings) and
// for capabilities documents read from files: elements are found by their
// local name, whatever namespace prefix the sender chose.
#pragma once

#include <string>
#include <string_view>

namespace escl_sim {

// Text of the first element named local_name (prefix ignored), trimmed of
// surrounding white space. False when there is no such element.
bool xml_element_text(std::string_view doc, std::string_view local_name, std::string &text);

// Everything between the first start tag named local_name and its end tag.
bool xml_element_body(std::string_view doc, std::string_view local_name, std::string &body);

// The element's text as a decimal number; fallback when absent or not a number.
int xml_int(std::string_view doc, std::string_view local_name, int fallback);

}  // namespace escl_sim
