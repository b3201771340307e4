#include "blobs/rendering.hpp"

#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "blobs/moments.hpp"
#include "blobs/format_error.hpp"

namespace corvale {
namespace {

const cv::Scalar labelColour(0, 255, 0, 0);
const cv::Scalar boxColour(0, 0, 255, 0);
const cv::Scalar angleColour(0, 255, 0, 0);
const cv::Scalar crossColour(255, 50, 50, 0);

constexpr int thickness = 1;
constexpr int shift = 0;

// The conversion of a coordinate to a pixel index: the fraction is dropped.
int trunc(double value) { return static_cast<int>(value); }

void drawLabel(const Blob& blob, cv::Mat& image) {
  const std::string text = "ID" + std::to_string(blob.label) + " Area" + std::to_string(blob.area);
  cv::putText(image, text, {trunc(blob.centroidX), trunc(blob.centroidY)},
              cv::FONT_HERSHEY_PLAIN, 1.0, labelColour, thickness, cv::LINE_8);
}

void drawAngle(Blob& blob, const LabelImage& labelImage, cv::Mat& image) {
  computeCentralMoments(blob, labelImage);
  const double theta = blobAngle(blob);
  const double length = static_cast<double>(blob.area) * 0.005;
  const double dx = length * std::cos(theta);
  const double dy = length * std::sin(theta);
  cv::line(image, {trunc(blob.centroidX - dx), trunc(blob.centroidY - dy)},
           {trunc(blob.centroidX + dx), trunc(blob.centroidY + dy)}, angleColour, thickness,
           cv::LINE_8, shift);
}

}  // namespace

void drawCross(cv::Mat& image, cv::Point centre) {
  cv::line(image, {centre.x - 6, centre.y}, {centre.x + 6, centre.y}, crossColour, thickness, cv::LINE_8, shift);
  cv::line(image, {centre.x, centre.y - 6}, {centre.x, centre.y + 6}, crossColour, thickness, cv::LINE_8, shift);
}

void drawBoundingBox(cv::Mat& image, const Blob& blob) {
  cv::rectangle(image, cv::Point(static_cast<int>(blob.minX), static_cast<int>(blob.minY)),
                cv::Point(static_cast<int>(blob.maxX), static_cast<int>(blob.maxY)), boxColour,
                thickness, cv::LINE_8, shift);
}

void renderBlobs(const LabelImage& labelImage, RenderMode mode, BlobTable blobs,
                 cv::Mat& outputImage) {
  if (labelImage.depth() != CV_32S || labelImage.channels() != 1) {
    raiseFormatError("Error: Label image format.");
  }
  if (outputImage.depth() != CV_8U || outputImage.channels() != 3) {
    raiseFormatError("Error: Output image format.");
  }
  if (mode == 0) return;
  for (auto& [label, blob] : blobs) {
    if (mode & renderLabel) drawLabel(*blob, outputImage);
    if (mode & renderBoundingBox) drawBoundingBox(outputImage, *blob);
    if (mode & renderAngle) drawAngle(*blob, labelImage, outputImage);
    if (mode & renderCentroid) drawCross(outputImage, {trunc(blob->centroidX), trunc(blob->centroidY)});
  }
}

}  // namespace corvale
