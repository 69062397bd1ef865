#include "core/startup.h"

int main(int argc, char **argv) { run_relay(argc, argv); }
