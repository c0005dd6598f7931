// GRef for GStreamer's reference-counted mini objects (GstElement and other GstObjects are
// GObjects and need nothing more). Header-only: include it only from code that links GStreamer.
#pragma once

#include "foundation/owned.h"

#include <gst/gst.h>

namespace zarvo {

template <> struct RefTraits<GstCaps> {
    static GstCaps* ref(GstCaps* caps) { return gst_caps_ref(caps); }
    static void unref(GstCaps* caps) { gst_caps_unref(caps); }
};
template <> struct RefTraits<GstBuffer> {
    static GstBuffer* ref(GstBuffer* buffer) { return gst_buffer_ref(buffer); }
    static void unref(GstBuffer* buffer) { gst_buffer_unref(buffer); }
};
template <> struct RefTraits<GstSample> {
    static GstSample* ref(GstSample* sample) { return gst_sample_ref(sample); }
    static void unref(GstSample* sample) { gst_sample_unref(sample); }
};
template <> struct RefTraits<GstMessage> {
    static GstMessage* ref(GstMessage* message) { return gst_message_ref(message); }
    static void unref(GstMessage* message) { gst_message_unref(message); }
};
template <> struct RefTraits<GstPromise> {
    static GstPromise* ref(GstPromise* promise) { return gst_promise_ref(promise); }
    static void unref(GstPromise* promise) { gst_promise_unref(promise); }
};

struct GstStructureDeleter {
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};
// A GstStructure owned outright (structures are copied, not counted).
using GstStructureOwned = std::unique_ptr<GstStructure, GstStructureDeleter>;

// A newly made element is a floating reference: sinking it makes the holder its owner.
inline GRef<GstElement> sinkElement(GstElement* element) {
    return adoptRef(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
}

} // namespace zarvo
