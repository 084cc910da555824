#include "control/host/viewer_probe.h"

#include <cstdint>
#include <vector>

#include "control/host/control_site.h"

namespace zevo {

namespace {

uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

QVariantMap ViewerProbe::currentImage(const QVariantList& points) const {
    QVariantMap out;
    IPlayerProbe* graph = mControl->Probe();
    if (!graph) {
        out.insert(QStringLiteral("result"), -1);
        return out;
    }
    int32_t size = 0;
    int32_t result = graph->GetCurrentImage(&size, nullptr);
    if (result >= 0 && size >= 40) {
        std::vector<unsigned char> dib(static_cast<size_t>(size));
        result = graph->GetCurrentImage(&size, dib.data());
        if (result >= 0) {
            const auto width = static_cast<int32_t>(Le32(&dib[4]));
            const auto height = static_cast<int32_t>(Le32(&dib[8]));
            const int bitCount = dib[14] | dib[15] << 8;
            out.insert(QStringLiteral("width"), width);
            out.insert(QStringLiteral("height"), height);
            out.insert(QStringLiteral("bitCount"), bitCount);
            // FNV-1a over the pixels: tells one picture from the next.
            uint32_t hash = 2166136261u;
            for (size_t i = 40; i < dib.size(); ++i) hash = (hash ^ dib[i]) * 16777619u;
            out.insert(QStringLiteral("checksum"), QString::number(hash, 16));
            const int64_t needed = 40 + int64_t(width) * (height < 0 ? -height : height) * 4;
            QVariantList pixels;
            if (bitCount == 32 && width > 0 && height > 0 && needed <= size) {
                for (const QVariant& point : points) {
                    const QVariantList xy = point.toList();
                    if (xy.size() != 2) continue;
                    const int x = qBound(0, int(xy[0].toDouble() * width), width - 1);
                    const int y = qBound(0, int(xy[1].toDouble() * height), height - 1);
                    // Bottom-up rows of BGRx.
                    const unsigned char* p =
                        &dib[40 + (size_t(height - 1 - y) * size_t(width) + size_t(x)) * 4];
                    pixels.append(QStringLiteral("#%1%2%3")
                                      .arg(p[2], 2, 16, QLatin1Char('0'))
                                      .arg(p[1], 2, 16, QLatin1Char('0'))
                                      .arg(p[0], 2, 16, QLatin1Char('0')));
                }
            }
            out.insert(QStringLiteral("pixels"), pixels);
        }
    }
    out.insert(QStringLiteral("result"), result);
    return out;
}

int ViewerProbe::graphState() const {
    return mControl->Probe() ? mControl->Probe()->GraphState() : -1;
}

QString ViewerProbe::graphName() const {
    return mControl->Probe() ? mControl->Probe()->GraphName() : QString();
}

double ViewerProbe::framesRendered() const {
    return mControl->Probe() ? static_cast<double>(mControl->Probe()->FramesRendered()) : -1.0;
}

double ViewerProbe::framesDispatched() const {
    return mControl->Probe() ? static_cast<double>(mControl->Probe()->FramesDispatched()) : -1.0;
}

QString ViewerProbe::recordFile() const {
    return mControl->Probe() ? mControl->Probe()->RecordFile() : QString();
}

int ViewerProbe::recordGraphState() const {
    return mControl->Probe() ? mControl->Probe()->RecordGraphState() : -1;
}

}  // namespace zevo
