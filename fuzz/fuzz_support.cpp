// In-memory device for the fuzz targets.
#include "../tests/support/memory_channel.cpp"
