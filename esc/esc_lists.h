#pragma once
// The hidden ESC family and model lists.

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

inline constexpr std::array<std::string_view, 2> kFamilyEntries = {"QZ32051", "QZ32103"};

// A model table: 10 rows of 40-byte NUL-padded names; a row "..." ends the list.
using ModelTable = std::array<std::array<char, 40>, 10>;
extern const ModelTable g_modelList0;
extern const ModelTable g_modelList1;

// The table that belongs to a family index (1 -> g_modelList1, anything else -> 0).
const ModelTable& ModelTableFor(int family);
// The entries that FillModelList adds, up to the "..." row.
std::vector<std::string> ModelEntries(int family);
// The same walk over any table: rows in order up to a row reading exactly "...".
std::vector<std::string> ModelEntries(const ModelTable& table);

}  // namespace quorvel
