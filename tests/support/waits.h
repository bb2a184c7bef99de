// Waiting for a condition in the tests, instead of sleeping for a guess.
#pragma once

#include <chrono>
#include <functional>

// Polls `condition` every `step` until it holds (true) or `timeout` has
// passed (false); the condition is asked once more at the deadline.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(100));
