#include "devices.h"

#include "presenter.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

namespace tavirel::console {
namespace {

// Columns are padded by characters on screen, not bytes: device names come
// from the sound server and may be UTF-8.
std::size_t displayWidth(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string padded(std::string_view text, std::size_t width) {
  std::string cell(text);
  cell.append(width - std::min(width, displayWidth(text)), ' ');
  return cell;
}

}  // namespace

std::optional<std::vector<Device>> parseDeviceList(std::string_view devicesJson) {
  const auto list = nlohmann::json::parse(devicesJson, nullptr, false);
  if (!list.is_array()) return std::nullopt;
  std::vector<Device> devices;
  for (const auto& entry : list) {
    if (!entry.is_object() || !entry.contains("id") || !entry.at("id").is_string()) return std::nullopt;
    auto current = entry.find("current");
    devices.push_back({textField(entry, "id"), textField(entry, "name"), textField(entry, "type"),
                       current != entry.end() && current->is_boolean() && current->get<bool>()});
  }
  return devices;
}

std::vector<std::string> formatDeviceTable(const std::vector<Device>& devices, std::string_view noun) {
  if (devices.empty()) return {"no " + std::string(noun)};
  std::size_t idWidth = 2, nameWidth = 4;
  for (const auto& device : devices) {
    idWidth = std::max(idWidth, displayWidth(device.id));
    nameWidth = std::max(nameWidth, displayWidth(device.name));
  }
  const std::size_t numberWidth = std::to_string(devices.size()).size();
  std::vector<std::string> lines;
  lines.push_back("  " + padded("#", numberWidth) + "  " + padded("ID", idWidth) + "  " +
                  padded("NAME", nameWidth) + "  TYPE");
  for (std::size_t row = 0; row < devices.size(); ++row) {
    const Device& device = devices[row];
    std::string number = std::to_string(row + 1);
    number.insert(0, numberWidth - number.size(), ' ');
    lines.push_back(std::string(device.current ? "* " : "  ") + number + "  " + padded(device.id, idWidth) +
                    "  " + padded(device.name, nameWidth) + "  " + device.type);
  }
  return lines;
}

std::string resolveDeviceChoice(std::string_view typed, const std::vector<Device>& listed) {
  const bool isId = std::any_of(listed.begin(), listed.end(), [&](const Device& d) { return d.id == typed; });
  std::size_t row = 0;
  const auto [end, error] = std::from_chars(typed.data(), typed.data() + typed.size(), row);
  if (isId || error != std::errc() || end != typed.data() + typed.size() || row < 1 || row > listed.size()) {
    return std::string(typed);
  }
  return listed[row - 1].id;
}

}  // namespace tavirel::console
