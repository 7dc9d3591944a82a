#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "esc/esc_lists.h"

namespace quorvel {
namespace {

using Names = std::vector<std::string>;

TEST(EscLists, FamilyEntries) {
    ASSERT_EQ(kFamilyEntries.size(), 2u);
    EXPECT_EQ(kFamilyEntries[0], "QZ32051");
    EXPECT_EQ(kFamilyEntries[1], "QZ32103");
}

TEST(EscLists, ModelsPerFamily) {
    const Names list0 = {"Rw4410QuadV3", "Rw4410QuadV3", "Rw4410QuadV4", "Rw2206QuadV4"};
    const Names list1 = {"QZ32103DEMO"};
    EXPECT_EQ(ModelEntries(0), list0);
    EXPECT_EQ(ModelEntries(1), list1);
    // Only 1 picks the second table; any other family value, even nonsense, the first.
    for (int family : {2, 255, -1, 1000}) {
        EXPECT_EQ(ModelEntries(family), list0) << family;
        EXPECT_EQ(&ModelTableFor(family), &g_modelList0) << family;
    }
    EXPECT_EQ(&ModelTableFor(1), &g_modelList1);
}

TEST(EscLists, TablesArePaddedWithNul) {
    EXPECT_STREQ(g_modelList0[4].data(), "...");
    EXPECT_STREQ(g_modelList1[1].data(), "...");
    for (const ModelTable* t : {&g_modelList0, &g_modelList1}) {
        for (const auto& row : *t) {
            const std::size_t len = std::strlen(row.data());
            for (std::size_t i = len; i < row.size(); ++i) {
                EXPECT_EQ(row[i], '\0');
            }
        }
    }
}

ModelTable TableOf(std::initializer_list<std::string> rows) {
    ModelTable t{};
    std::size_t r = 0;
    for (const std::string& text : rows) {
        std::memcpy(t[r++].data(), text.data(), std::min(text.size(), std::size_t{40}));
    }
    return t;
}

TEST(EscLists, WalkStopsOnlyAtAnExactEndRow) {
    // "...." and ".. ." are names; only "..." ends the list.
    EXPECT_EQ(ModelEntries(TableOf({"A", "....", ".. .", "...", "B"})),
              (Names{"A", "....", ".. ."}));
    // Without an end row every row is added, empty ones included.
    EXPECT_EQ(ModelEntries(TableOf({"A", "B"})), (Names{"A", "B", "", "", "", "", "", "", "", ""}));
    // A 40-character row has no NUL; the walk must not run into the next row.
    ModelTable t = TableOf({std::string(40, 'Z'), "next", "..."});
    EXPECT_EQ(ModelEntries(t), (Names{std::string(40, 'Z'), "next"}));
}

}  // namespace
}  // namespace quorvel
