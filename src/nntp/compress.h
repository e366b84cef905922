// COMPRESS DEFLATE (RFC 8054) under the server connection's buffered
// streams, above TLS when TLS is used: both directions raw deflate streams.
#pragma once

#include <zlib.h>

#include <array>
#include <cstddef>

namespace nntp {

/// Compressed bytes held on each side.
inline constexpr size_t kCompressedBufferSize = 32768;

/// What inflating the held input came to.
enum class Inflated { kData, kNeedInput, kEnd, kError };

/// The deflate streams of the server connection.
struct Compression {
  z_stream inflater{};
  z_stream deflater{};
  bool ready = false;    // both streams are set up
  bool flushed = false;  // the data given to deflate_begin is all out
  bool failed = false;   // deflate failed (reported)
  std::array<unsigned char, kCompressedBufferSize> input{};   // received, not yet inflated
  std::array<unsigned char, kCompressedBufferSize> output{};  // deflated, to be sent
};

/// The compression of this run's server connection.
extern Compression g_compression;

/// Sets up both streams; received are bytes that came after the 206 reply
/// (already compressed, at most kCompressedBufferSize). True, or false after a message.
bool start_compression(Compression* compression, const char* received, size_t length);

/// Frees both streams.
void stop_compression(Compression* compression);

/// Inflates the held input into buffer: kData with *produced bytes, kNeedInput
/// when all held input is used, kEnd when the server ended its stream, kError
/// after a message.
Inflated inflate_some(Compression* compression, char* buffer, size_t size, size_t* produced);

/// Where received compressed bytes go (only when inflate_some asked for input); its room.
unsigned char* input_space(Compression* compression, size_t* room);

/// Hands length bytes placed at input_space to the inflater.
void input_received(Compression* compression, size_t length);

/// Starts compressing data (length bytes); deflate_next then gives the output.
void deflate_begin(Compression* compression, const char* data, size_t length);

/// The next piece of compressed output, the last one ending with a sync
/// flush so that the server can read every command sent; false when all is
/// out (or deflating failed: compression->failed).
bool deflate_next(Compression* compression, const unsigned char** chunk, size_t* size);

}  // namespace nntp
