#include "control/player_control.h"

namespace zevo {

PlayerControl::PlayerControl(QWidget* parent, Transport* transport) : QWidget(parent) {
    mPlayer = new PlayerDialog(this, transport ? transport : &PpppTransport());
    mPlayer->Create();
    ResizePlayer();
    mPlayer->show();
    mDIDProperty = QString::fromStdString(mPlayer->mSettings.mDID);
    mPasswordProperty = QString::fromStdString(mPlayer->mSettings.mPassword);
    mSavePathProperty = QString::fromStdString(mPlayer->mSettings.mSavePath);
}

PlayerControl::~PlayerControl() {
    if (mPlayer) {
        mPlayer->Destroy();
        delete mPlayer;
        mPlayer = nullptr;
    }
}

void PlayerControl::SetDID(const QString& value) {
    mDIDProperty = value;
    mPlayer->mSettings.mDID = value.toStdString();
}

void PlayerControl::SetPassword(const QString& value) {
    mPasswordProperty = value;
    mPlayer->mSettings.mPassword = value.toStdString();
}

void PlayerControl::SetSavePath(const QString& value) {
    mSavePathProperty = value;
    mPlayer->mSettings.mSavePath = value.toStdString();
}

int PlayerControl::ChgSelection(int camera) {
    if (camera >= 0) mPlayer->ChgSelection(camera);
    return 0;
}

int PlayerControl::StartAV() {
    mPlayer->StartSession();
    return 0;
}

int PlayerControl::StopAV() {
    mPlayer->StopSession();
    return 0;
}

int PlayerControl::StartRecord() {
    mPlayer->StartRecord();
    return 0;
}

int PlayerControl::StopRecord() {
    mPlayer->StopRecord();
    return 0;
}

int PlayerControl::Snapshot() {
    mPlayer->Snapshot();
    return 0;
}

int PlayerControl::SelectPath() {
    mPlayer->SelectPath();
    mSavePathProperty = QString::fromStdString(mPlayer->mSettings.mSavePath);
    return 0;
}

int PlayerControl::GetEmailAlert() {
    return mPlayer ? mPlayer->GetEmailAlert() : -1;
}

int PlayerControl::SetEmailAlert(bool enable) {
    return mPlayer ? mPlayer->SetEmailAlert(enable) : -1;
}

void PlayerControl::ResizePlayer() {
    if (mPlayer) mPlayer->setGeometry(rect());
}

void PlayerControl::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    ResizePlayer();
}

void PlayerControl::moveEvent(QMoveEvent* e) {
    QWidget::moveEvent(e);
    ResizePlayer();
}

}  // namespace zevo
