// The request queue's consumer: the main thread's work once start-up is done.
#pragma once

[[noreturn]] void consume_queue();
