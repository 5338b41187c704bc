#include "sdk_util.h"

#include <cstdio>

void cleanup(fm_int err, const char *src) {
    if (err == FM_OK) return;
    std::printf("%s: %s\n", src, fmErrorMsg(err));
    std::fflush(stdout);
}

namespace kelf {

BitArray::~BitArray() {
    if (created_) fmDeleteBitArray(&array_);
}

fm_status BitArray::create(fm_int bitCount) {
    if (created_) {
        fmDeleteBitArray(&array_);
        created_ = false;
    }
    fm_status st = fmCreateBitArray(&array_, bitCount);
    created_ = st == FM_OK;
    return st;
}

}  // namespace kelf
