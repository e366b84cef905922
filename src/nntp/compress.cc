#include "nntp/compress.h"

#include <cstring>

#include "report/message.h"

namespace nntp {

Compression g_compression;

namespace {

// Raw deflate, no zlib header (RFC 8054 2.2.2); the largest window.
constexpr int kRawWindowBits = -15;
constexpr int kMemoryLevel = 8;

const char* zlib_reason(const z_stream& stream, int result) {
  return stream.msg != nullptr ? stream.msg : zError(result);
}

}  // namespace

bool start_compression(Compression* compression, const char* received, size_t length) {
  Compression& c = *compression;
  c.inflater = z_stream{};
  c.deflater = z_stream{};
  if (length > c.input.size()) length = c.input.size();
  const int inflate_result = inflateInit2(&c.inflater, kRawWindowBits);
  if (inflate_result != Z_OK) {
    report::message(report::kError, "can't start decompression: %s", zError(inflate_result));
    return false;
  }
  const int deflate_result = deflateInit2(&c.deflater, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                                          kRawWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
  if (deflate_result != Z_OK) {
    inflateEnd(&c.inflater);
    report::message(report::kError, "can't start compression: %s", zError(deflate_result));
    return false;
  }
  if (length > 0) memcpy(c.input.data(), received, length);
  c.inflater.next_in = c.input.data();
  c.inflater.avail_in = static_cast<uInt>(length);
  c.ready = true;
  c.failed = false;
  return true;
}

void stop_compression(Compression* compression) {
  if (!compression->ready) return;
  inflateEnd(&compression->inflater);
  deflateEnd(&compression->deflater);
  compression->ready = false;
}

Inflated inflate_some(Compression* compression, char* buffer, size_t size, size_t* produced) {
  z_stream& z = compression->inflater;
  *produced = 0;
  // Input may go into the inflater's state without any output yet, and
  // output may be held back for want of room: call until there is output
  // or the input is used up.
  for (;;) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = static_cast<uInt>(size);
    const uInt input_before = z.avail_in;
    const int result = inflate(&z, Z_SYNC_FLUSH);
    *produced = size - z.avail_out;
    if (*produced > 0) return Inflated::kData;
    if (result == Z_STREAM_END) return Inflated::kEnd;
    if (result != Z_OK && result != Z_BUF_ERROR) {
      report::message(report::kError, "compressed data from the server are corrupt: %s",
                      zlib_reason(z, result));
      return Inflated::kError;
    }
    if (z.avail_in == 0) return Inflated::kNeedInput;
    if (z.avail_in == input_before) {
      report::message(report::kError, "compressed data from the server make no progress");
      return Inflated::kError;
    }
  }
}

unsigned char* input_space(Compression* compression, size_t* room) {
  *room = compression->input.size();
  return compression->input.data();
}

void input_received(Compression* compression, size_t length) {
  compression->inflater.next_in = compression->input.data();
  compression->inflater.avail_in = static_cast<uInt>(length);
}

void deflate_begin(Compression* compression, const char* data, size_t length) {
  // zlib does not write through next_in; its interface is older than const.
  compression->deflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  compression->deflater.avail_in = static_cast<uInt>(length);
  compression->flushed = false;
}

bool deflate_next(Compression* compression, const unsigned char** chunk, size_t* size) {
  Compression& c = *compression;
  if (c.flushed) return false;
  z_stream& z = c.deflater;
  z.next_out = c.output.data();
  z.avail_out = static_cast<uInt>(c.output.size());
  const int result = deflate(&z, Z_SYNC_FLUSH);
  if (result != Z_OK && result != Z_BUF_ERROR) {
    report::message(report::kError, "can't compress: %s", zlib_reason(z, result));
    c.failed = true;
    c.flushed = true;
    return false;
  }
  // Room left over means the input is used up and the flush complete.
  if (z.avail_out != 0) c.flushed = true;
  *chunk = c.output.data();
  *size = c.output.size() - z.avail_out;
  return *size > 0 || !c.flushed;
}

}  // namespace nntp
