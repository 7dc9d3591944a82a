#include "esc/esc_lists.h"

#include <algorithm>

namespace quorvel {

namespace {

using Row = std::array<char, 40>;

constexpr Row MakeRow(std::string_view text) {
    Row row{};
    for (std::size_t i = 0; i < text.size() && i < row.size(); ++i) {
        row[i] = text[i];
    }
    return row;
}

constexpr std::string_view kEndOfList = "...";

// A row need not hold a NUL: a 40-character name fills it completely.
std::string_view RowText(const Row& row) {
    const auto end = std::find(row.begin(), row.end(), '\0');
    return std::string_view(row.data(), static_cast<std::size_t>(end - row.begin()));
}

}  // namespace

// The first name appears twice on purpose: the list has always shown it so.
const ModelTable g_modelList0 = {
    MakeRow("Rw4410QuadV3"), MakeRow("Rw4410QuadV3"), MakeRow("Rw4410QuadV4"),
    MakeRow("Rw2206QuadV4"), MakeRow(kEndOfList),
};

const ModelTable g_modelList1 = {
    MakeRow("QZ32103DEMO"),
    MakeRow(kEndOfList),
};

const ModelTable& ModelTableFor(int family) {
    return family == 1 ? g_modelList1 : g_modelList0;
}

std::vector<std::string> ModelEntries(const ModelTable& table) {
    std::vector<std::string> entries;
    for (const Row& row : table) {
        const std::string_view text = RowText(row);
        if (text == kEndOfList) {
            break;
        }
        entries.emplace_back(text);
    }
    return entries;
}

std::vector<std::string> ModelEntries(int family) {
    return ModelEntries(ModelTableFor(family));
}

}  // namespace quorvel
