#include "analysis/io/jpeg_codec.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <jpeglib.h>
#include <jerror.h>

#include "analysis/io/image_header.hpp"

namespace corvale {
namespace {

// libjpeg reports an error through a callback that must not return. Ours keeps the
// library's message and jumps back to the setjmp of the step that called into
// libjpeg. Those steps hold nothing but plain data and references, so the jump skips
// no C++ destructor; everything that owns memory lives in the callers.
struct ErrorManager {
  jpeg_error_mgr base;  // first member: libjpeg sees the struct as its own
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool fromLibrary;     // the message is libjpeg's own, not one of ours
};

[[noreturn]] void failWith(j_common_ptr info, const char* message, bool fromLibrary = false) {
  auto* errors = reinterpret_cast<ErrorManager*>(info->err);
  std::snprintf(errors->message, sizeof errors->message, "%s", message);
  errors->fromLibrary = fromLibrary;
  std::longjmp(errors->jump, 1);
}

[[noreturn]] void failWithLibraryMessage(j_common_ptr info) {
  char message[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, message);
  failWith(info, message, true);
}

// Level -1 is a warning: the data is corrupt and libjpeg would carry on with made-up
// pixels, so the photograph fails instead. An unknown JFIF revision is harmless.
// Trace messages (levels 0 and up) are dropped.
void handleMessage(j_common_ptr info, int level) {
  if (level >= 0 || info->err->msg_code == JWRN_JFIF_MAJOR) return;
  failWithLibraryMessage(info);
}

void printNothing(j_common_ptr) {}

void useErrorManager(ErrorManager& errors) {
  jpeg_std_error(&errors.base);
  errors.base.error_exit = failWithLibraryMessage;
  errors.base.emit_message = handleMessage;
  errors.base.output_message = printNothing;
  errors.message[0] = '\0';
}

// libjpeg calls the progress monitor while it reads the scans of a multi-scan file;
// a file repeating scans past the cap would otherwise be decoded for minutes.
void capScans(j_common_ptr info) {
  if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > maxJpegScans)
    failWith(info, "the JPEG image has more than 300 scans; no camera writes that many");
}
static_assert(maxJpegScans == 300, "the message above names the cap");

struct Decoder {
  jpeg_decompress_struct info{};
  ErrorManager errors{};
  jpeg_progress_mgr progress{};
  bool created = false;
  ~Decoder() {
    if (created) jpeg_destroy_decompress(&info);
  }
};

bool readHeader(Decoder& decoder, std::span<const std::uint8_t> bytes) {
  if (setjmp(decoder.errors.jump) != 0) return false;
  decoder.created = true;  // destroying a half-created decompressor is safe
  jpeg_create_decompress(&decoder.info);
  jpeg_mem_src(&decoder.info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&decoder.info, TRUE);
  return true;
}

bool readPixels(Decoder& decoder, cv::Mat& pixels) {
  if (setjmp(decoder.errors.jump) != 0) return false;
  jpeg_start_decompress(&decoder.info);
  while (decoder.info.output_scanline < decoder.info.output_height) {
    JSAMPROW row = pixels.ptr(static_cast<int>(decoder.info.output_scanline));
    if (jpeg_read_scanlines(&decoder.info, &row, 1) != 1)
      failWith(reinterpret_cast<j_common_ptr>(&decoder.info), "the JPEG image data ends early");
  }
  jpeg_finish_decompress(&decoder.info);
  return true;
}

[[noreturn]] void throwDecodingFailure(const Decoder& decoder) {
  if (!decoder.errors.fromLibrary) throw std::runtime_error(decoder.errors.message);
  throw std::runtime_error(std::string("the JPEG image data cannot be decoded: ") + decoder.errors.message);
}

// Adobe's inverted CMYK, as Photoshop writes it, to BGR.
cv::Mat bgrFromInvertedCmyk(const cv::Mat& cmyk) {
  cv::Mat bgr(cmyk.size(), CV_8UC3);
  for (int y = 0; y < cmyk.rows; ++y) {
    const std::uint8_t* in = cmyk.ptr(y);
    std::uint8_t* out = bgr.ptr(y);
    for (int x = 0; x < cmyk.cols; ++x, in += 4, out += 3) {
      const int k = in[3];
      out[2] = static_cast<std::uint8_t>(k - ((255 - in[0]) * k >> 8));
      out[1] = static_cast<std::uint8_t>(k - ((255 - in[1]) * k >> 8));
      out[0] = static_cast<std::uint8_t>(k - ((255 - in[2]) * k >> 8));
    }
  }
  return bgr;
}

// Collects the encoder's output in a malloc'd buffer: plain C memory, so that a jump
// out of the encoder leaves nothing behind that a destructor would have to free.
struct Destination {
  jpeg_destination_mgr base;  // first member: libjpeg sees the struct as its own
  unsigned char* data = nullptr;
  std::size_t capacity = 0;
  std::size_t size = 0;
};

void grow(j_compress_ptr info, std::size_t used) {
  auto* destination = reinterpret_cast<Destination*>(info->dest);
  const std::size_t capacity = destination->capacity == 0 ? 65536 : destination->capacity * 2;
  auto* data = static_cast<unsigned char*>(std::realloc(destination->data, capacity));
  if (data == nullptr) failWith(reinterpret_cast<j_common_ptr>(info), "not enough memory for the JPEG image");
  destination->data = data;
  destination->capacity = capacity;
  destination->base.next_output_byte = data + used;
  destination->base.free_in_buffer = capacity - used;
}

void startDestination(j_compress_ptr info) { grow(info, 0); }

boolean emptyDestination(j_compress_ptr info) {
  grow(info, reinterpret_cast<Destination*>(info->dest)->capacity);
  return TRUE;
}

void finishDestination(j_compress_ptr info) {
  auto* destination = reinterpret_cast<Destination*>(info->dest);
  destination->size = destination->capacity - destination->base.free_in_buffer;
}

struct Encoder {
  jpeg_compress_struct info{};
  ErrorManager errors{};
  Destination destination{};
  bool created = false;
  ~Encoder() {
    if (created) jpeg_destroy_compress(&info);
    std::free(destination.data);
  }
};

bool compress(Encoder& encoder, const cv::Mat& image, J_COLOR_SPACE colourSpace, int quality,
              std::span<const std::uint8_t> exif) {
  if (setjmp(encoder.errors.jump) != 0) return false;
  encoder.created = true;
  jpeg_create_compress(&encoder.info);
  encoder.destination.base.init_destination = startDestination;
  encoder.destination.base.empty_output_buffer = emptyDestination;
  encoder.destination.base.term_destination = finishDestination;
  encoder.info.dest = &encoder.destination.base;
  encoder.info.image_width = static_cast<JDIMENSION>(image.cols);
  encoder.info.image_height = static_cast<JDIMENSION>(image.rows);
  encoder.info.input_components = image.channels();
  encoder.info.in_color_space = colourSpace;
  jpeg_set_defaults(&encoder.info);
  jpeg_set_quality(&encoder.info, quality, TRUE);
  jpeg_start_compress(&encoder.info, TRUE);
  if (!exif.empty()) jpeg_write_marker(&encoder.info, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
  while (encoder.info.next_scanline < encoder.info.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(image.ptr(static_cast<int>(encoder.info.next_scanline)));
    jpeg_write_scanlines(&encoder.info, &row, 1);
  }
  jpeg_finish_compress(&encoder.info);
  return true;
}

// An APP1 Exif segment holding one tag, the orientation: "Exif", a big-endian TIFF
// header, and a first image directory of one entry (tag 0x0112, SHORT, count 1).
std::vector<std::uint8_t> orientationExif(int orientation) {
  return {'E', 'x', 'i', 'f', 0, 0,                   // identifier
          'M', 'M', 0, 42, 0, 0, 0, 8,                // TIFF header, directory at offset 8
          0, 1,                                       // one entry
          0x01, 0x12, 0, 3, 0, 0, 0, 1,               // orientation, SHORT, count 1
          0, static_cast<std::uint8_t>(orientation), 0, 0,
          0, 0, 0, 0};                                // no further directory
}

}  // namespace

cv::Mat decodeJpeg(std::span<const std::uint8_t> bytes, std::uint64_t maxPixels) {
  Decoder decoder;
  useErrorManager(decoder.errors);
  decoder.info.err = &decoder.errors.base;
  if (!readHeader(decoder, bytes)) throwDecodingFailure(decoder);

  // The size libjpeg will decode: that of the first frame header, whatever follows.
  requirePixelLimit(decoder.info.image_width, decoder.info.image_height, maxPixels);
  // libjpeg's arithmetic decoder pads data that ends early with zeros without a
  // warning, so damage cannot be told from a photograph; no camera writes them.
  if (decoder.info.arith_code)
    throw std::runtime_error("the JPEG image is arithmetic-coded, which no camera writes and whose damage cannot be "
                             "detected");
  const int components = decoder.info.num_components;
  int type = CV_8UC3;
  if (components == 4) {
    decoder.info.out_color_space = JCS_CMYK;
    type = CV_8UC4;
  } else if (components == 1) {
    decoder.info.out_color_space = JCS_GRAYSCALE;
    type = CV_8UC1;
  } else {
    decoder.info.out_color_space = JCS_EXT_BGR;
  }
  decoder.progress.progress_monitor = capScans;
  decoder.info.progress = &decoder.progress;

  cv::Mat pixels(static_cast<int>(decoder.info.image_height), static_cast<int>(decoder.info.image_width), type);
  if (!readPixels(decoder, pixels)) throwDecodingFailure(decoder);
  return components == 4 ? bgrFromInvertedCmyk(pixels) : pixels;
}

std::vector<std::uint8_t> encodeJpeg(const cv::Mat& image, int orientation, int quality) {
  J_COLOR_SPACE colourSpace = JCS_UNKNOWN;
  switch (image.channels()) {
    case 1: colourSpace = JCS_GRAYSCALE; break;
    case 3: colourSpace = JCS_EXT_BGR; break;
    case 4: colourSpace = JCS_EXT_BGRX; break;  // the fourth byte is skipped
  }
  if (image.depth() != CV_8U || colourSpace == JCS_UNKNOWN || image.empty())
    throw std::runtime_error("only 8-bit images of 1, 3 or 4 channels can be written as JPEG");
  const std::vector<std::uint8_t> exif =
      orientation >= 2 && orientation <= 8 ? orientationExif(orientation) : std::vector<std::uint8_t>{};

  Encoder encoder;
  useErrorManager(encoder.errors);
  encoder.info.err = &encoder.errors.base;
  if (!compress(encoder, image, colourSpace, quality, exif))
    throw std::runtime_error(std::string("the image cannot be encoded as JPEG: ") + encoder.errors.message);
  return {encoder.destination.data, encoder.destination.data + encoder.destination.size};
}

}  // namespace corvale
