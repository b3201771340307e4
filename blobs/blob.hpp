#pragma once
// The record of one connected region and the ordered table that owns them.

#include <cstdint>
#include <map>

namespace corvale {

// One 4-connected region of foreground pixels. Coordinates are pixel indices of
// the labelled image: x is the column, y the row, both counted from 0.
struct Blob {
  std::uint32_t label = 0;  // never 0: 0 is the background
  std::uint32_t area = 0;   // pixel count
  std::uint32_t minX = 0;   // bounding box, inclusive
  std::uint32_t maxX = 0;
  std::uint32_t minY = 0;
  std::uint32_t maxY = 0;
  double centroidX = 0.0;   // m10 / area
  double centroidY = 0.0;   // m01 / area
  double m10 = 0.0;         // raw moments: sums of x, y, x*y, x^2, y^2
  double m01 = 0.0;
  double m11 = 0.0;
  double m20 = 0.0;
  double m02 = 0.0;
  bool centralMomentsComputed = false;
  double u11 = 0.0;         // central moments, valid while centralMomentsComputed
  double u20 = 0.0;
  double u02 = 0.0;
  Blob* unionParent = nullptr;  // union-find link, only while records are being merged
  std::uint32_t unionRank = 0;
};

// Blobs by ascending label. The table that was filled owns its records: they are
// deleted only through eraseBlob and releaseBlobs. Copying a table shares the
// records; clearing or destroying a table (or a copy) never deletes one.
using BlobTable = std::map<std::uint32_t, Blob*>;

// Deletes the record at `position`, removes its entry and returns the position
// of the entry that followed it, so that a filtering walk visits every entry once.
BlobTable::iterator eraseBlob(BlobTable& blobs, BlobTable::iterator position);

// Deletes every record of the table in label order and leaves the table empty.
void releaseBlobs(BlobTable& blobs);

// The root of the record's union-find tree; every record on the way is pointed
// straight at the root (path compression).
Blob* findRoot(Blob* blob);

}  // namespace corvale
