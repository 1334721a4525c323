// Inside the platform layer: how the layer's own calls reach the
// user-interface thread, the only one that may touch the windows. The
// program's code uses RunOnUserInterfaceThread (win32.h) instead.
#pragma once

#include <type_traits>

#include "platform/win32.h"

namespace qtlayer {

// Runs `work` on the user-interface thread and hands back its result (a
// default one if the work threw); called there, it runs at once.
template <typename Work>
auto RunOnUiThread(Work work) -> std::invoke_result_t<Work> {
    using Result = std::invoke_result_t<Work>;
    if constexpr (std::is_void_v<Result>) {
        RunOnUserInterfaceThread(work);
    } else {
        Result result{};
        RunOnUserInterfaceThread([&] { result = work(); });
        return result;
    }
}

}  // namespace qtlayer
