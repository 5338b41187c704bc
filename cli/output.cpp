#include "output.h"

#include <algorithm>
#include <sstream>

#include "values.h"

namespace kelfctl {

Cell num(std::int64_t v) {
    return {v, std::to_string(v)};
}
Cell unum(std::uint64_t v) {
    return {v, std::to_string(v)};
}
Cell hexnum(std::uint64_t v, int digits) {
    return {v, hex(v, digits)};
}
Cell str(std::string s) {
    Cell c{s, s};
    return c;
}
Cell on_off(bool b) {
    return {b, b ? "on" : "off"};
}
Cell ports(const std::vector<int> &p, bool sort) {
    std::vector<int> v = p;
    if (sort) std::sort(v.begin(), v.end());
    return {Json(v), format_port_list(p, sort)};
}
Cell none() {
    return {nullptr, "-"};
}

namespace {
// JSON keys are snake_case, as `ip -j` writes them; text keeps the words
// the commands take.
std::string json_key(std::string k) {
    for (char &c : k)
        if (c == '-') c = '_';
    return k;
}
}  // namespace

Record &Record::add(std::string key, Cell c) {
    fields_.emplace_back(std::move(key), std::move(c));
    return *this;
}

Json Record::json() const {
    Json j = Json::object();
    for (const auto &[k, c] : fields_) j[json_key(k)] = c.json;
    return j;
}

void Record::text(std::ostream &os) const {
    std::size_t w = 0;
    for (const auto &f : fields_) w = std::max(w, f.first.size());
    for (const auto &[k, c] : fields_)
        os << k << std::string(w - k.size() + 2, ' ') << c.text << '\n';
}

Table::Table(std::string name, std::vector<Column> columns)
    : name_(std::move(name)), cols_(std::move(columns)) {}

void Table::row(std::vector<Cell> cells) {
    cells.resize(cols_.size(), none());
    rows_.push_back(std::move(cells));
}

Json Table::json() const {
    Json arr = Json::array();
    for (const auto &r : rows_) {
        Json o = Json::object();
        for (std::size_t i = 0; i < cols_.size(); ++i) o[json_key(cols_[i].key)] = r[i].json;
        arr.push_back(std::move(o));
    }
    Json j = Json::object();
    j[name_] = std::move(arr);
    return j;
}

void Table::text(std::ostream &os) const {
    if (rows_.empty()) return;
    std::vector<std::size_t> w(cols_.size());
    for (std::size_t i = 0; i < cols_.size(); ++i) {
        w[i] = cols_[i].header.size();
        for (const auto &r : rows_) w[i] = std::max(w[i], r[i].text.size());
    }
    auto line = [&](auto cell) {
        std::string s;
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            std::string t = cell(i);
            s += t;
            if (i + 1 < cols_.size()) s += std::string(w[i] - t.size() + 2, ' ');
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        os << s << '\n';
    };
    line([&](std::size_t i) { return cols_[i].header; });
    for (const auto &r : rows_) line([&](std::size_t i) { return r[i].text; });
}

Output out(const Record &r) {
    std::ostringstream os;
    r.text(os);
    return {r.json(), os.str()};
}

Output out(const Table &t) {
    std::ostringstream os;
    t.text(os);
    return {t.json(), os.str()};
}

}  // namespace kelfctl
