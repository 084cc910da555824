// The live graph on a machine whose GStreamer has no libav decoders: the process gets a
// private plugin registry holding everything the graph needs except gst-libav.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdlib>
#include <string>
#include <vector>

#include "media/video_graph.h"
#include "platform/message_box.h"

namespace {

TEST(VideoGraphWithoutLibav, MissingDecoderShowsBothMessagesInOrderAndTheWindowStaysUsable) {
    std::vector<std::string> messages;
    zevo::SetMessageBoxHook(
        [&](const QString&, const QString& text) { messages.push_back(text.toStdString()); });
    QWidget owner;
    owner.resize(320, 240);
    owner.show();
    {
        VideoGraph graph;
        EXPECT_EQ(graph.BuildGraph(), 1);
        EXPECT_EQ(messages, (std::vector<std::string>{"Failed to add ffdshow video decoder filter.",
                                                      "Failed to add video filters to graph."}));
        graph.AttachVideoWindow(&owner);
        ASSERT_EQ(owner.findChildren<QWidget*>().size(), 1);
        EXPECT_TRUE(owner.findChildren<QWidget*>().front()->isVisible());
        EXPECT_EQ(graph.RunGraph(), 1);
        const unsigned char idr[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0, 0, 0, 1, 0x65, 0x88};
        EXPECT_EQ(graph.PushVideo(224, idr, sizeof idr), 1) << "frames are dropped";
        QApplication::processEvents();
        owner.repaint();
        int32_t size = 0;
        EXPECT_LT(graph.GetCurrentImage(&size, nullptr), 0);
        // What StopAV does: the rebuilt graph reports the same, once more.
        EXPECT_EQ(graph.StopGraph(), 1);
        graph.ReleaseAll();
        messages.clear();
        EXPECT_EQ(graph.BuildGraph(), 1);
        EXPECT_EQ(messages.size(), 2u);
        graph.AttachVideoWindow(&owner);
        EXPECT_EQ(graph.RunGraph(), 1);
        EXPECT_EQ(graph.StopGraph(), 1);
    }
    EXPECT_TRUE(owner.findChildren<QWidget*>().empty()) << "the video window goes with the graph";
    zevo::SetMessageBoxHook({});
}

}  // namespace

int main(int argc, char** argv) {
    // Before GStreamer starts: a registry of only the plugins the graph uses, no libav.
    QTemporaryDir plugins;
    if (!plugins.isValid()) return 2;
    for (const char* plugin : {"libgstcoreelements.so", "libgstapp.so", "libgstvideoparsersbad.so",
                               "libgstvideoconvertscale.so"}) {
        const std::string from = std::string(ZEVO_GST_PLUGINS_DIR) + "/" + plugin;
        const std::string to = plugins.filePath(plugin).toStdString();
        if (symlink(from.c_str(), to.c_str()) != 0) return 2;
    }
    const std::string dir = plugins.path().toStdString();
    setenv("GST_PLUGIN_SYSTEM_PATH_1_0", dir.c_str(), 1);
    setenv("GST_PLUGIN_PATH_1_0", "", 1);
    setenv("GST_REGISTRY_1_0", (dir + "/registry.bin").c_str(), 1);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
