#pragma once
// Second-order central moments and the orientation of a blob's main axis.

#include "blobs/blob.hpp"
#include "blobs/labeling.hpp"

namespace corvale {

// Fills u11, u20 and u02 from the blob's own pixels in `labelImage` (the image it
// was labelled into) and marks them computed. Does nothing for a blob whose moments
// are already computed. A label image that is not CV_32SC1, or that does not contain
// the blob's bounding box, is refused with one line on standard error and an
// ImageFormatError.
void computeCentralMoments(Blob& blob, const LabelImage& labelImage);

// The angle of the main axis in radians, in (-pi/2, pi/2], measured from the x axis
// towards y (down in the image). One line on standard error and an ImageFormatError
// when the central moments have not been computed.
double blobAngle(const Blob& blob);

}  // namespace corvale
