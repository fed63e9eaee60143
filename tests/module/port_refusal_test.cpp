// The user's line for a refused port, for every kind of refusal the host records.
#include <gtest/gtest.h>

#include "module/port_refusal.h"

namespace {

TEST(PortRefusalText, NamesPortDeviceReasonAndWhatToDo) {
    struct Case {
        PORT_REFUSAL refusal;
        const char* description;
        const wchar_t* expected;
    } const cases[] = {
        {{PORT_REFUSED_PERMISSION, L"/dev/ttyUSB0", L"dialout", {}},
         "permission, the group to join known",
         L"COM3 (/dev/ttyUSB0): ポートを開く権限がありません。"
         L"dialoutグループに参加して、ログインし直してください"},
        {{PORT_REFUSED_PERMISSION, L"/dev/ttyUSB0", L"", {}},
         "permission, no group would do",
         L"COM3 (/dev/ttyUSB0): ポートを開く権限がありません。"
         L"管理者にポートの使用許可を設定してもらってください"},
        {{PORT_REFUSED_BUSY, L"/dev/ttyUSB0", L"", {{1234, L"minicom"}}},
         "busy, one holder seen",
         L"COM3 (/dev/ttyUSB0): 他のプログラム(minicom プロセスID 1234)が使用中です。"
         L"そのプログラムを終了してください"},
        {{PORT_REFUSED_BUSY, L"/dev/ttyUSB0", L"", {{1234, L"minicom"}, {99, L""}}},
         "busy, two holders, one without a name",
         L"COM3 (/dev/ttyUSB0): 他のプログラム(minicom プロセスID 1234、プロセスID "
         L"99)が使用中です。"
         L"そのプログラムを終了してください"},
        {{PORT_REFUSED_BUSY, L"/dev/ttyUSB0", L"", {}},
         "busy, no holder seen (another user's program)",
         L"COM3 (/dev/ttyUSB0): 他のプログラムが使用中です。そのプログラムを終了してください"},
        {{PORT_REFUSED_NONE, L"/dev/ttyUSB0", L"", {}}, "not refused", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortRefusalText(3, c.refusal).str(), c.expected) << c.description;
    }
}

} // namespace
