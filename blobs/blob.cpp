#include "blobs/blob.hpp"

namespace corvale {

BlobTable::iterator eraseBlob(BlobTable& blobs, BlobTable::iterator position) {
  delete position->second;
  return blobs.erase(position);
}

void releaseBlobs(BlobTable& blobs) {
  for (auto& entry : blobs) delete entry.second;
  blobs.clear();
}

Blob* findRoot(Blob* blob) {
  Blob* root = blob;
  while (root->unionParent != nullptr) root = root->unionParent;
  while (blob != root) {
    Blob* next = blob->unionParent;
    blob->unionParent = root;
    blob = next;
  }
  return root;
}

}  // namespace corvale
