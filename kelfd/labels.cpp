// labels.cpp - labels by unit, kind, number and id.
#include "labels.h"

#include <cstdint>
#include <unordered_map>

namespace kelf::labels {
namespace {

std::uint64_t key(int unit, Kind kind, int number, int id) {
    return (std::uint64_t{static_cast<std::uint8_t>(unit)} << 56) |
           (std::uint64_t{static_cast<std::uint8_t>(kind)} << 48) |
           (std::uint64_t{static_cast<std::uint16_t>(number)} << 32) |
           std::uint64_t{static_cast<std::uint32_t>(id)};
}

std::unordered_map<std::uint64_t, std::string> &table() {
    static std::unordered_map<std::uint64_t, std::string> t;
    return t;
}

}  // namespace

void set(int unit, Kind kind, int number, int id, const std::string &text) {
    if (text.empty())
        table().erase(key(unit, kind, number, id));
    else
        table()[key(unit, kind, number, id)] = text;
}

const std::string &get(int unit, Kind kind, int number, int id) {
    static const std::string none;
    if (table().empty()) return none;
    auto it = table().find(key(unit, kind, number, id));
    return it == table().end() ? none : it->second;
}

void gone(int unit, Kind kind, int number, int id) {
    if (!table().empty()) table().erase(key(unit, kind, number, id));
}

void reset() {
    table().clear();
}

}  // namespace kelf::labels
