// Prints the G1 field table, one tab-separated line per field in datagram order after a heading
// line, for the dissector test to hold g1.lua's copy to.
#include "plugin/telemetry/g1_field_table.h"

#include <cstdio>
#include <string>

int main() {
    std::string text = "position\tname\ttitle\tlabel\tcolumn\tunit\tscale\tkind\n";
    for (std::size_t i = 0; i < kG1FieldTable.size(); ++i) {
        const G1Field& f = kG1FieldTable[i];
        const std::string position = std::to_string(i + 1);
        const std::string scale = std::to_string(f.scale);
        for (const std::string_view cell :
             {std::string_view(position), f.name, f.title, f.label, f.column, f.unit,
              std::string_view(scale), g1_kind_name(f.kind)}) {
            text += cell;
            text += '\t';
        }
        text.back() = '\n';
    }
    std::fputs(text.c_str(), stdout);
    return std::ferror(stdout) ? 1 : 0;
}
