#pragma once

#include <QTest>

namespace uitest {

// One data row: QTest::newRow(Name) << Values...
template <typename... T> void Row(const char *Name, const T &...Values)
{
    (QTest::newRow(Name) << ... << Values);
}

} // namespace uitest
