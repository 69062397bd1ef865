// The request queue's consumer: the main thread's work once start-up is done.
#pragma once

#include "net/answer_backlog.h"

// Forwards no request while the answer thread reports a backlog.
[[noreturn]] void consume_queue(const kestivane::answer_backlog &answers);
