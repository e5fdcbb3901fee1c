#pragma once
// Guard for tests that send to the broadcast address or start the tool: they may only run in the
// private namespace of tools/netns-run, where loopback is the only interface.

#include <net/if.h>

#include <cstring>

namespace brix::testing {

// Asks the kernel (not sysfs, which may show another namespace) for this namespace's interfaces.
inline bool inPrivateNetns() {
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr) return false;
    bool onlyLoopback = true;
    for (struct if_nameindex* i = list; i->if_index != 0; ++i) {
        if (std::strcmp(i->if_name, "lo") != 0) onlyLoopback = false;
    }
    if_freenameindex(list);
    return onlyLoopback;
}

}  // namespace brix::testing

// Use as the first statement of a test that broadcasts.
#define BRIX_REQUIRE_PRIVATE_NETNS()                                                  \
    do {                                                                              \
        if (!::brix::testing::inPrivateNetns())                                       \
            GTEST_SKIP() << "needs the private network namespace (tools/netns-run)"; \
    } while (0)
