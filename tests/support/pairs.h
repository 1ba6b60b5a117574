#pragma once
// Test helper: name/value arrays as plain pairs, so QCOMPARE can show both sides.

#include "channel/cmds.h"

#include <string>
#include <utility>
#include <vector>

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline Pairs AsPairs(const TNameValueArray& array) {
    Pairs pairs;
    for (const TNameValuePair& pair : array)
        pairs.emplace_back(pair.Name, pair.Value);
    return pairs;
}
