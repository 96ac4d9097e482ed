#include "morvane/core/Context.hpp"
#include "morvane/core/tables/OpUsageNames.hpp"

#include <map>
#include <string>
#include <string_view>

namespace Morvane {

namespace {

// Blanks that fill `width` after `used` characters; a value wider than its column widens the row instead.
std::size_t padding(u64 width, std::size_t used) { return used < width ? width - used : 0; }

void appendRule(std::string& out, u64 nameWidth, u64 countWidth) {
    out += '|';
    out.append(nameWidth, '-');
    out += '|';
    out.append(countWidth, '-');
    out += "|\n";
}

void appendRow(std::string& out, const std::string& label, u64 count, u64 nameWidth, u64 countWidth) {
    const std::string digits = std::to_string(count);
    out += "| ";
    out += label;
    out.append(padding(nameWidth - 1, label.size()), ' ');
    out += '|';
    out.append(padding(countWidth - 1, digits.size()), ' ');
    out += digits;
    out += " |\n";
}

} // namespace

std::string ContextContent::representOpHistory(bool verbose) const {
    constexpr std::string_view title = " Operation Usage ";
    const u64 wn = nameColumnWidth;
    const u64 wc = countColumnWidth;
    const std::size_t fill = padding(wn + wc + 3, title.size());

    std::string out = historyReportPrefix;
    out.append(fill / 2, '=');
    out += title;
    out.append(fill - fill / 2, '=');
    out += '\n';

    out += "| operation";
    out.append(padding(wn, 10), ' ');
    out += '|';
    out.append(padding(wc, 6), ' ');
    out += "count |\n";

    appendRule(out, wn, wc);
    const std::map<std::string, u64> history = getOpHistory();
    const auto appendRows = [&](const std::vector<std::string>& labels) {
        for (const std::string& label : labels) {
            const auto entry = history.find(label);
            if (entry != history.end())
                appendRow(out, label, entry->second, wn, wc);
        }
    };
    appendRows(opUsageNames.at("eval"));
    if (verbose)
        appendRows(opUsageNames.at("key"));
    appendRule(out, wn, wc);
    return out;
}

} // namespace Morvane
