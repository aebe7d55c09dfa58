#pragma once

#include <chrono>
#include <thread>

namespace kelvo::testing {

// Polls `done` every few milliseconds until it holds, for a peer that says nothing when it gets
// there; true when it held within `limit`.
template <class Done>
bool Eventually(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace kelvo::testing
