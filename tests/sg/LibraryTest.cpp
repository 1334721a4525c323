// The built manager library as the program binds it: by dlopen, the entry
// points looked up by name, nothing else of it visible.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/wnaspi32.h"

TEST(SgLibrary, ExportsTheEntryPointsAndNothingElse) {
    void *library = dlopen(QUORVEL_SG_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(library, "GetASPI32SupportInfo"));
    auto send = reinterpret_cast<SendASPI32CommandFn>(dlsym(library, "SendASPI32Command"));
    auto hold = reinterpret_cast<HoldASPI32DeviceFn>(dlsym(library, "HoldASPI32Device"));
    ASSERT_NE(support, nullptr);
    ASSERT_NE(send, nullptr);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(dlsym(library, "_ZN6sgaspi16ParseScsiAddressESt17basic_string_viewIcSt11char_traitsIcEE"), nullptr);
    EXPECT_EQ(dlsym(library, "_ZN6sgaspi12RealSgSystemEv"), nullptr);

    // Whatever this machine has, the answer is well formed.
    const uint32_t info = support();
    const uint32_t status = (info >> 8) & 0xFF;
    if (status == SS_NO_ADAPTERS) {
        EXPECT_EQ(info & 0xFF, 0u);
    } else {
        EXPECT_EQ(status, SS_COMP);
        EXPECT_GT(info & 0xFF, 0u);
    }
    EXPECT_EQ(info >> 16, 0u);

    // A request for another command is answered without touching a device.
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(send(&srb), SS_INVALID_CMD);
    EXPECT_EQ(SrbStatusLoad(&srb), SS_INVALID_CMD);
    // Nor is a hold of a request it does not know.
    EXPECT_EQ(hold(0, 0, 0), HOLD_CANNOT);
    // Never closed, as in the program: the manager lives as long as the process.
}
