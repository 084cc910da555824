#pragma once
// Identifiers of the viewer control module, and the probe interface through which a
// container (zevo-host, tests) reads what the control shows. Containers include this
// header only; they never link the player window.
#include <QString>
#include <cstdint>
#include <functional>

#include "component/com.h"

namespace zevo {

constexpr com::GUID LIBID_ZEVOPLAYEROCXLib = com::MakeGuid("142AFD4E-ADE6-45B7-B9A4-02DEA4F3E85A");
constexpr com::GUID DIID__DZEVOPlayerOCX = com::MakeGuid("0B690CF6-3CA7-4C71-9317-A30EC92047C7");
constexpr com::GUID DIID__DZEVOPlayerOCXEvents =
    com::MakeGuid("12711043-46A2-4467-A188-18E3F154397C");
constexpr com::GUID CLSID_ZEVOPlayerOCXCtrl = com::MakeGuid("5E5065B5-C1E2-4EE2-B288-D21416DEB426");
constexpr com::GUID CLSID_ZEVOPlayerOCXPropPage =
    com::MakeGuid("04AC5044-85D9-418B-AB08-93DD483BA0F7");
constexpr com::GUID IID_IPlayerProbe = com::MakeGuid("92761704-A920-46AC-B791-F62FB0553C23");

constexpr const char* kControlProgId = "ZEVOPLAYEROCX.ZEVOPlayerOCXCtrl.1";
constexpr const char* kPropPageProgId = "ZEVOPLAYEROCX.ZEVOPlayerOCXPropPage.1";
constexpr uint32_t kControlMiscStatus = 0x20191;

// Read-only view of the player for diagnostics: status panes, the live graph's
// picture and state. Everything returns "nothing" (empty, -1) while the control has no
// player window.
class IPlayerProbe : public com::IUnknown {
public:
    virtual QString PaneText(int pane) = 0;
    // Called on the container's thread for every pane text change and every deferred
    // status text; empty functions stop the calls.
    virtual void SetStatusListener(std::function<void(int pane, const QString& text)> paneChanged,
                                   std::function<void(const QString& text)> statusQueued) = 0;
    // The live graph's current picture as a DIB (see VideoGraph::GetCurrentImage).
    virtual int32_t GetCurrentImage(int32_t* size, unsigned char* dib) = 0;
    virtual int GraphState() = 0;
    virtual QString GraphName() = 0;
    virtual int64_t FramesRendered() = 0;
    // Video frames the session has dispatched (shown and recorded) since its start.
    virtual int64_t FramesDispatched() = 0;
    // The recording graph: the file it writes (empty without one) and its state.
    virtual QString RecordFile() = 0;
    virtual int RecordGraphState() = 0;
};

}  // namespace zevo
