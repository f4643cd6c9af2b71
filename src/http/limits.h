// Fixed sizes of the plug-in's working buffers and protocol texts.
#pragma once

namespace bb {

inline constexpr int kCapsBufferSize = 32768;   // whole ScannerCapabilities body
inline constexpr int kStatusBufferSize = 5120;  // job exchanges
inline constexpr int kLongStatusBufferSize = 262144;  // status documents with long job lists
inline constexpr int kHeaderBufferSize = 2048;  // POST request header, Location work area
inline constexpr int kStreamBufferSize = 4096;  // read-ahead of one channel
inline constexpr int kLineSize = 128;           // one protocol line
inline constexpr int kTagBufferSize = 512;      // tag text while walking XML
inline constexpr int kValueBufferSize = 256;    // element text while walking XML

}  // namespace bb
