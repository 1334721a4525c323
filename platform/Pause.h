// Pauses of a thread that waits for what tells nobody when it is done: the
// status a manager writes into a request, the answers a bus gives.
#pragma once

#include <chrono>

#include "platform/Hold.h"

// The calling thread sleeps for `span` (at least).
void PauseThisThread(std::chrono::nanoseconds span);
// Waits until everything `hold` asked for has been answered, or `most` has
// passed, looking every 5 ms. True once answered; an empty hold is.
bool AwaitAnswers(const PlatformHold *hold, std::chrono::milliseconds most);
