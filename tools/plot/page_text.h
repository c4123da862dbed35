// What both pages (one log's, and the fleet's) write the same way: text made
// safe for HTML and for the data in a <script>, and the licence of the
// Chart.js they inline.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace pelk_tool {

extern const char kChartJsLicence[];

// Text as HTML element content or attribute value.
std::string html_escape(const std::string &s);
// Text that is safe inside a <script> element.
std::string script_safe(std::string s);
// JSON that can neither end the <script> it stands in nor open a comment or a
// tag there, nor end a line of the script.
std::string script_json(const nlohmann::json &j);

}  // namespace pelk_tool
