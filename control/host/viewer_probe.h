#pragma once
// The `viewer` object of a zevo-host script: reads the first control's live graph as a
// test or a curious user would, through its probe interface and the same current-image
// read the snapshot uses.
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

namespace zevo {

class ControlSite;

class ViewerProbe : public QObject {
    Q_OBJECT

public:
    explicit ViewerProbe(ControlSite* control) : mControl(control) {}

    // The current picture: {result, width, height, bitCount, checksum, pixels}, where
    // pixels holds "#rrggbb" for each [x, y] of points (fractions of the picture,
    // top-down). result is GetCurrentImage's; the other fields are there when it is 0 or more.
    Q_INVOKABLE QVariantMap currentImage(const QVariantList& points = {}) const;
    // 2 running, 0 stopped.
    Q_INVOKABLE int graphState() const;
    Q_INVOKABLE QString graphName() const;
    Q_INVOKABLE double framesRendered() const;
    // Video frames the session has dispatched (shown and recorded) since its start.
    Q_INVOKABLE double framesDispatched() const;
    // The file the running recording writes; empty without one.
    Q_INVOKABLE QString recordFile() const;
    Q_INVOKABLE int recordGraphState() const;

private:
    ControlSite* mControl;
};

}  // namespace zevo
