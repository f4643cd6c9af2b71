// Fixed sizes of the plug-in's working buffers and protocol texts.
#pragma once

namespace bb {

inline constexpr int kCapsBufferSize = 32768;   // whole ScannerCapabilities body
inline constexpr int kStatusBufferSize = 5120;  // job exchanges
inline constexpr int kLongStatusBufferSize = 262144;  // status documents with long job lists
inline constexpr int kHeaderBufferSize = 2048;  // POST request header, Location work area
inline constexpr int kStreamBufferSize = 4096;  // read-ahead of one channel
// Most page bytes one bb_get_image_data call moves into the host's image
// buffer: the host's buffer is 4 MB, and filling it whole would make the
// host's resident memory grow by all of it; pages come in pieces anyway.
inline constexpr int kImageDataPieceSize = 64 * 1024;
inline constexpr int kLineSize = 128;           // one protocol line
inline constexpr int kTagBufferSize = 512;      // tag text while walking XML
inline constexpr int kValueBufferSize = 256;    // element text while walking XML

}  // namespace bb
