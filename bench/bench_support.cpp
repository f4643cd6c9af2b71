// In-memory device for the benchmarks.
#include "../tests/support/memory_channel.cpp"
