#include "analysis/io/png_codec.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <png.h>
#include <zlib.h>

#include "analysis/io/image_header.hpp"

namespace corvale {
namespace {

// libpng reports an error through a callback that must not return. Ours keeps the
// message and jumps to the setjmp of the step that called into libpng; those steps
// hold only plain data and references, so the jump skips no C++ destructor.
struct Messages {
  char error[256] = "";
};

[[noreturn]] void keepErrorAndJump(png_structp png, png_const_charp message) {
  auto* messages = static_cast<Messages*>(png_get_error_ptr(png));
  std::snprintf(messages->error, sizeof messages->error, "%s", message);
  png_longjmp(png, 1);
}

// Warnings concern ancillary chunks (a colour profile, text, a chunk with a bad
// checksum that libpng skips) or data after the complete image; the pixels are
// sound, so they are dropped.
void dropWarning(png_structp, png_const_charp) {}

struct Source {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* source = static_cast<Source*>(png_get_io_ptr(png));
  if (length > source->size - source->at) png_error(png, "the file ends in the middle of the image");
  std::memcpy(out, source->data + source->at, length);
  source->at += length;
}

struct Decoder {
  png_structp png = nullptr;
  png_infop info = nullptr;
  Messages messages;
  Source source{};
  ~Decoder() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }
};

bool readInfo(Decoder& decoder) {
  if (setjmp(png_jmpbuf(decoder.png)) != 0) return false;
  decoder.info = png_create_info_struct(decoder.png);
  if (decoder.info == nullptr) png_error(decoder.png, "not enough memory");
  png_set_read_fn(decoder.png, &decoder.source, readFromMemory);
  png_read_info(decoder.png, decoder.info);
  return true;
}

// The transformations that give the channels `channels` and BGR order, then the
// rows. Interlaced images are assembled by libpng.
bool readRows(Decoder& decoder, int channels, png_bytepp rows) {
  if (setjmp(png_jmpbuf(decoder.png)) != 0) return false;
  png_structp png = decoder.png;
  const int colourType = png_get_color_type(png, decoder.info);
  const int bitDepth = png_get_bit_depth(png, decoder.info);
  if (bitDepth == 16) png_set_swap(png);  // host byte order (little-endian)
  if (channels < 4) {
    png_set_strip_alpha(png);
  } else {
    png_set_tRNS_to_alpha(png);
  }
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if ((colourType & PNG_COLOR_MASK_COLOR) == 0 && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if ((colourType & PNG_COLOR_MASK_COLOR) != 0 && channels > 1) {
    png_set_bgr(png);
  } else if (channels > 1) {
    png_set_gray_to_rgb(png);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, decoder.info);
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}

[[noreturn]] void throwDecodingFailure(const Decoder& decoder) {
  throw std::runtime_error(std::string("the PNG image data cannot be decoded: ") + decoder.messages.error);
}

// Collects the encoder's output in a malloc'd buffer: plain C memory, so that a jump
// out of the encoder leaves nothing behind that a destructor would have to free.
struct Destination {
  unsigned char* data = nullptr;
  std::size_t capacity = 0;
  std::size_t size = 0;
};

void writeToMemory(png_structp png, png_bytep bytes, png_size_t length) {
  auto* destination = static_cast<Destination*>(png_get_io_ptr(png));
  if (length > destination->capacity - destination->size) {
    std::size_t capacity = destination->capacity == 0 ? 65536 : destination->capacity;
    while (capacity - destination->size < length) capacity *= 2;
    auto* data = static_cast<unsigned char*>(std::realloc(destination->data, capacity));
    if (data == nullptr) png_error(png, "not enough memory for the PNG image");
    destination->data = data;
    destination->capacity = capacity;
  }
  std::memcpy(destination->data + destination->size, bytes, length);
  destination->size += length;
}

void flushNothing(png_structp) {}

struct Encoder {
  png_structp png = nullptr;
  png_infop info = nullptr;
  Messages messages;
  Destination destination;
  ~Encoder() {
    png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    std::free(destination.data);
  }
};

bool compress(Encoder& encoder, const cv::Mat& image, png_bytepp rows) {
  if (setjmp(png_jmpbuf(encoder.png)) != 0) return false;
  png_structp png = encoder.png;
  encoder.info = png_create_info_struct(png);
  if (encoder.info == nullptr) png_error(png, "not enough memory");
  png_set_write_fn(png, &encoder.destination, writeToMemory, flushNothing);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_compression_level(png, Z_BEST_SPEED);
  png_set_compression_strategy(png, Z_RLE);
  const int channels = image.channels();
  const int colourType = channels == 1 ? PNG_COLOR_TYPE_GRAY : channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA;
  png_set_IHDR(png, encoder.info, static_cast<png_uint_32>(image.cols), static_cast<png_uint_32>(image.rows),
               image.depth() == CV_8U ? 8 : 16, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, encoder.info);
  png_set_bgr(png);
  if (image.depth() == CV_16U) png_set_swap(png);
  png_write_image(png, rows);
  png_write_end(png, encoder.info);
  return true;
}

}  // namespace

cv::Mat decodePng(std::span<const std::uint8_t> bytes, std::uint64_t maxPixels) {
  Decoder decoder;
  decoder.source = {bytes.data(), bytes.size(), 0};
  decoder.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &decoder.messages, keepErrorAndJump, dropWarning);
  if (decoder.png == nullptr) throw std::bad_alloc();
  if (!readInfo(decoder)) throwDecodingFailure(decoder);

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colourType = 0;
  png_get_IHDR(decoder.png, decoder.info, &width, &height, &bitDepth, &colourType, nullptr, nullptr, nullptr);
  requirePixelLimit(width, height, maxPixels);
  int channels = 1;
  if (colourType == PNG_COLOR_TYPE_RGB || colourType == PNG_COLOR_TYPE_PALETTE) {
    channels = png_get_valid(decoder.png, decoder.info, PNG_INFO_tRNS) != 0 ? 4 : 3;
  } else if (colourType == PNG_COLOR_TYPE_GRAY_ALPHA || colourType == PNG_COLOR_TYPE_RGB_ALPHA) {
    channels = 4;
  }
  cv::Mat pixels(static_cast<int>(height), static_cast<int>(width), CV_MAKETYPE(bitDepth == 16 ? CV_16U : CV_8U, channels));
  std::vector<png_bytep> rows(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels.ptr(static_cast<int>(y));
  if (!readRows(decoder, channels, rows.data())) throwDecodingFailure(decoder);
  return pixels;
}

std::vector<std::uint8_t> encodePng(const cv::Mat& image) {
  const int channels = image.channels();
  if ((image.depth() != CV_8U && image.depth() != CV_16U) || (channels != 1 && channels != 3 && channels != 4) ||
      image.empty())
    throw std::runtime_error("only images of 1, 3 or 4 channels of 8 or 16 bits can be written as PNG");
  Encoder encoder;
  encoder.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &encoder.messages, keepErrorAndJump, dropWarning);
  if (encoder.png == nullptr) throw std::bad_alloc();
  std::vector<png_bytep> rows(static_cast<std::size_t>(image.rows));
  for (int y = 0; y < image.rows; ++y) rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(image.ptr(y));
  if (!compress(encoder, image, rows.data()))
    throw std::runtime_error(std::string("the image cannot be encoded as PNG: ") + encoder.messages.error);
  return {encoder.destination.data, encoder.destination.data + encoder.destination.size};
}

}  // namespace corvale
