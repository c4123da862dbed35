// The pages `plot --db` draws from a fleet database (`parse --db`): the
// fleet's page, across devices, and one device's page, which is the page of
// one log drawn from that device's rows.
#pragma once

#include <ostream>
#include <string>

namespace pelk_tool {

// How many devices, applications or histogram series the fleet page names;
// the others are summed into one more bar, line or row.
constexpr int kFleetTop = 20;
constexpr int kFleetSeries = 8;

// Writes the fleet's page to output and, beside it, the page of each device
// its table of the worst devices links to (fleet_device_page_name).  Returns
// false, with the reason on err, when the database cannot be read or a page
// cannot be written.
bool write_fleet_pages(const std::string &db, const std::string &output, const std::string &chartjs,
                       std::ostream &err);

// Writes the page of one device (serial "" for the rows without one).
bool write_device_page(const std::string &db, const std::string &serial, const std::string &output,
                       const std::string &chartjs, std::ostream &err);

// The file name of a device's page beside the fleet page "DIR/NAME.html":
// "NAME-SERIAL.html", the serial's bytes other than letters, digits, '.' and
// '-' written as _XX (so two serials never share a name, and the name is a
// safe link).
std::string fleet_device_page_name(const std::string &output, const std::string &serial);

// The fleet page's own script (fleet.js); its style is the single-log page's.
const char *fleet_script();

}  // namespace pelk_tool
