#pragma once
// No V4L2 device exists on the build machines. This stand-in takes v4l2src's name for the
// whole process: a bin with a `device` property whose source pad offers what a pipeline
// description makes (a live test pattern encoded or raw, a file played in a loop).
#include <gst/gst.h>

#include <string>

namespace zevo::camd::testing {

class WebcamStandIn {
public:
    // Replaces v4l2src (a feature registered under a taken name replaces it); the type,
    // or 0 when the registry kept the real one.
    static GType Register() {
        GTypeQuery query;
        g_type_query(GST_TYPE_BIN, &query);
        const GType type =
            g_type_register_static_simple(GST_TYPE_BIN, "ZevoTestWebcam", query.class_size,
                                          ClassInit, query.instance_size, Init, GTypeFlags(0));
        if (!gst_element_register(nullptr, "v4l2src", GST_RANK_NONE, type)) return 0;
        GstElementFactory* factory = gst_element_factory_find("v4l2src");
        const GType made = factory ? gst_element_factory_get_element_type(factory) : 0;
        if (factory) gst_object_unref(factory);
        return made == type ? type : 0;
    }
    // What the stand-ins made from now on offer.
    static void Offer(const std::string& description) { Description() = description; }
    // The last one made (the one in the camera's pipeline once it runs).
    static GstElement*& Last() {
        static GstElement* last = nullptr;
        return last;
    }

private:
    static std::string& Description() {
        static std::string description;
        return description;
    }
    static void ClassInit(gpointer klass, gpointer) {
        // A `device` it is given and does not need: it opens nothing.
        G_OBJECT_CLASS(klass)->set_property = [](GObject*, guint, const GValue*, GParamSpec*) {};
        g_object_class_install_property(
            G_OBJECT_CLASS(klass), 1, g_param_spec_string("device", "", "", "", G_PARAM_WRITABLE));
        gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Webcam stand-in",
                                              "Source/Video", "Test stand-in", "ZEVO2");
    }
    static void Init(GTypeInstance* instance, gpointer) {
        GstElement* inner = gst_parse_bin_from_description(Description().c_str(), TRUE, nullptr);
        gst_bin_add(GST_BIN(instance), inner);
        GstPad* target = gst_element_get_static_pad(inner, "src");
        gst_element_add_pad(GST_ELEMENT(instance), gst_ghost_pad_new("src", target));
        gst_object_unref(target);
        Last() = GST_ELEMENT(instance);
    }
};

}  // namespace zevo::camd::testing
