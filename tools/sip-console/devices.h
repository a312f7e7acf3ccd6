// Audio device lists as the helper sends them ("devicesJson": a JSON array
// inside a JSON string) and as a person reads them: a numbered table with
// the device in use marked, so `output 2` can pick a row.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavirel::console {

struct Device {
  std::string id;
  std::string name;
  std::string type;
  bool current = false;
};

// The devices of a "devicesJson" text; std::nullopt when it is not an array
// of objects with a string "id" (the other fields default when missing).
std::optional<std::vector<Device>> parseDeviceList(std::string_view devicesJson);

// One header line and one line per device: the mark ("*" for the device in
// use), the row number, id, name and type in padded columns. `noun` names
// the list in the line shown for an empty one ("no output devices").
std::vector<std::string> formatDeviceTable(const std::vector<Device>& devices, std::string_view noun);

// The device id meant by what was typed after `output`/`input`: a row
// number of the last table shown picks that row's id, unless some listed
// device has exactly that id; anything else is taken as an id.
std::string resolveDeviceChoice(std::string_view typed, const std::vector<Device>& listed);

}  // namespace tavirel::console
