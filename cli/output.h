// output.h - what a command prints, held once and rendered either as text
// for people or as one JSON document for scripts. Printers fill these
// structures; neither rendering can then show something the other lacks.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace kelfctl {

using Json = nlohmann::ordered_json;

// One value: its JSON form and its text form.
struct Cell {
    Json json;
    std::string text;
};

Cell num(std::int64_t v);
Cell unum(std::uint64_t v);
Cell hexnum(std::uint64_t v, int digits = 0);  // JSON number, text 0x...
Cell str(std::string s);
Cell on_off(bool b);
Cell ports(const std::vector<int> &p, bool sort = true);  // JSON array, text "1-4,7"
Cell none();                                              // JSON null, text "-"

// "key value" lines in text; an object in JSON.
class Record {
public:
    Record &add(std::string key, Cell c);
    const std::vector<std::pair<std::string, Cell>> &fields() const { return fields_; }
    Json json() const;
    void text(std::ostream &os) const;

private:
    std::vector<std::pair<std::string, Cell>> fields_;
};

// Aligned columns under a header in text; {"name": [ {row}, ... ]} in JSON.
class Table {
public:
    struct Column {
        std::string key;
        std::string header;
    };
    Table(std::string name, std::vector<Column> columns);
    void row(std::vector<Cell> cells);
    bool empty() const { return rows_.empty(); }
    Json json() const;
    void text(std::ostream &os) const;

private:
    std::string name_;
    std::vector<Column> cols_;
    std::vector<std::vector<Cell>> rows_;
};

// A finished result: one JSON document, or text lines.
struct Output {
    Json json;
    std::string text;
};

Output out(const Record &r);
Output out(const Table &t);

}  // namespace kelfctl
