#pragma once
// The control object between a host and the player window: it owns one PlayerDialog
// over its whole client area, carries the DID, Password and SavePath properties and
// forwards the automation methods. Thin for now; the full control module with its
// registration builds on this seam.
#include <QString>
#include <QWidget>

#include "control/player_dialog.h"

namespace zevo {

class PlayerControl : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString DID READ GetDID WRITE SetDID)
    Q_PROPERTY(QString Password READ GetPassword WRITE SetPassword)
    Q_PROPERTY(QString SavePath READ GetSavePath WRITE SetSavePath)

public:
    // transport null: the P2P library.
    explicit PlayerControl(QWidget* parent = nullptr, Transport* transport = nullptr);
    ~PlayerControl() override;

    QString GetDID() const { return mDIDProperty; }
    QString GetPassword() const { return mPasswordProperty; }
    QString GetSavePath() const { return mSavePathProperty; }
    void SetDID(const QString& value);
    void SetPassword(const QString& value);
    void SetSavePath(const QString& value);

    Q_INVOKABLE int ChgSelection(int camera);
    Q_INVOKABLE int StartAV();
    Q_INVOKABLE int StopAV();
    Q_INVOKABLE int StartRecord();
    Q_INVOKABLE int StopRecord();
    Q_INVOKABLE int Snapshot();
    Q_INVOKABLE int SelectPath();
    Q_INVOKABLE int GetEmailAlert();
    Q_INVOKABLE int SetEmailAlert(bool enable);

    PlayerDialog* Player() const { return mPlayer; }

protected:
    void resizeEvent(QResizeEvent* e) override;
    void moveEvent(QMoveEvent* e) override;

private:
    void ResizePlayer();

    QString mDIDProperty;
    QString mPasswordProperty;
    QString mSavePathProperty;
    PlayerDialog* mPlayer = nullptr;
};

}  // namespace zevo
