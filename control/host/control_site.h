#pragma once
// A control embedded in zevo-host: created by ProgID through the hive and its module,
// scripted only through dispatch (names resolved to ids by the control, member kinds
// and types read from the registered type library), and read through its probe.
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <memory>

#include "component/com.h"
#include "component/typelib.h"
#include "control/player_ocx_ids.h"

class QWidget;

namespace zevo {

class ControlSite : public QObject {
    Q_OBJECT

public:
    // Creates the control and activates it in parent. Null with a message in error.
    static std::unique_ptr<ControlSite> Create(const QString& progId, QWidget* parent,
                                               QString* error);
    ~ControlSite() override;

    QWidget* Window() const;
    IPlayerProbe* Probe() const { return mProbe.Get(); }
    com::IDispatch* Dispatch() const { return mDispatch.Get(); }
    const com::TypeInterface& Interface() const { return mInterface; }
    bool Closed() const { return !mDispatch; }

    // The script's view: members of the dispatch interface as {name, kind, params}.
    Q_INVOKABLE QVariantList members() const;
    // The id the control gives the name, or -1.
    Q_INVOKABLE int idOfName(const QString& name) const;
    // Property get / method call without arguments (invoke(id)), property put / method
    // call with one (invoke(id, value)). A failed call throws in the script.
    Q_INVOKABLE QVariant invoke0(int id);
    Q_INVOKABLE QVariant invoke1(int id, const QVariant& value);
    Q_INVOKABLE QVariant get(int id);
    Q_INVOKABLE void put(int id, const QVariant& value);
    Q_INVOKABLE QVariant call(int id, const QVariantList& args);
    Q_INVOKABLE QString paneText(int pane) const;
    // Shows the property frame (the Properties verb).
    Q_INVOKABLE void showProperties();
    // Destroys the control: its window, its player and the object.
    Q_INVOKABLE void close();

    // Last dispatch failure, for the caller that reports it.
    com::HRESULT LastResult() const { return mLast; }

signals:
    void CallFailed(const QString& what);
    // The player's status texts, forwarded from its probe.
    void PaneTextChanged(int pane, const QString& text);
    void StatusMessageQueued(const QString& text);

private:
    ControlSite() = default;
    QVariant Invoke(int id, uint16_t flags, const QVariantList& args);

    com::ComPtr<com::IDispatch> mDispatch;
    com::ComPtr<com::IInPlaceControl> mInPlace;
    com::ComPtr<IPlayerProbe> mProbe;
    com::TypeInterface mInterface;
    com::HRESULT mLast = com::S_OK;
};

}  // namespace zevo
