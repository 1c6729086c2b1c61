#include "driver/engine/ImageStore.h"

#include "driver/platform/PoolTags.h"

namespace {

// PASSIVE_LEVEL (Create). Writes the black image that suits imageSize into one
// image slot; the rules cover at most imageSize bytes. width x height x 3 fits
// in 32 bits (the engine's Start checked), so the products here are exact.
void WriteBlackImage(PUCHAR image, ULONG width, ULONG height, ULONG imageSize) {
    const ULONG pixels = width * height;
    if (imageSize == (pixels * 3) >> 1) {
        RtlFillMemory(image, pixels, 0);
        RtlFillMemory(image + pixels, pixels / 2, 0x80);
    } else if (imageSize == pixels * 2) {
        for (ULONG i = 0; i < pixels; ++i) {
            image[2 * i] = 0x00;
            image[2 * i + 1] = 0x80;
        }
    } else {
        RtlZeroMemory(image, imageSize);
    }
}

}  // namespace

// PASSIVE_LEVEL, pageable; the engine's Start.
VCAM_PAGE ImageStore* ImageStore::Create(PixelLayout* layout, ULONG width, ULONG height,
                                         ULONG imageSize, ULONG slot0Bytes) {
    PAGED_CODE();
    ImageStore* store = static_cast<ImageStore*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ImageStore), VCAM_TAG_ENGINE));
    if (store == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(store, sizeof(ImageStore));
    store->slots[0] =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, slot0Bytes, VCAM_TAG_BUFFER));
    store->slots[1] =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, imageSize, VCAM_TAG_BUFFER));
    if (store->slots[0] == nullptr || store->slots[1] == nullptr) {
        store->references = 1;
        store->Release();
        return nullptr;
    }
    store->layout = layout;
    store->width = width;
    store->height = height;
    store->imageSize = imageSize;
    // Both slots start as the same black image, so a reader never sees bytes
    // the pool handed out uninitialised.
    WriteBlackImage(store->slots[0], width, height, imageSize);
    WriteBlackImage(store->slots[1], width, height, imageSize);
    store->handover.Reset();
    KeInitializeEvent(&store->writeGate, SynchronizationEvent, TRUE);
    InterlockedExchange(&store->references, 1);
    return store;
}

// PASSIVE_LEVEL, resident: its body runs under *lock. A push.
VCAM_RESIDENT ImageStore* ImageStore::Take(ImageStore** current, PKSPIN_LOCK lock) {
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(lock);
    ImageStore* store = *current;
    if (store != nullptr) {
        store->Reference();
    }
    KeReleaseSpinLock(lock, oldIrql);
    return store;
}

// PASSIVE_LEVEL, resident: its body runs under *lock. The engine's Start and
// Stop.
VCAM_RESIDENT ImageStore* ImageStore::Exchange(ImageStore** current, PKSPIN_LOCK lock,
                                               ImageStore* store) {
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(lock);
    ImageStore* previous = *current;
    *current = store;
    KeReleaseSpinLock(lock, oldIrql);
    return previous;
}

// DISPATCH_LEVEL or below, resident; a holder, or under the engine's
// imagesLock.
VCAM_RESIDENT void ImageStore::Reference() {
    InterlockedIncrement(&references);
}

// DISPATCH_LEVEL or below, resident (ExFreePool allows DISPATCH_LEVEL).
VCAM_RESIDENT void ImageStore::Release() {
    if (InterlockedDecrement(&references) != 0) {
        return;
    }
    for (PUCHAR slot : slots) {
        if (slot != nullptr) {
            ExFreePool(slot);
        }
    }
    ExFreePool(this);
}
