#include "control/host/control_site.h"

#include <QWidget>

#include "component/runtime.h"

namespace zevo {

using namespace com;

namespace {

Variant ToVariant(const QVariant& value) {
    switch (value.typeId()) {
        case QMetaType::Bool:
            return Variant::Bool(value.toBool());
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::Double:
            return Variant::I4(value.toInt());
        default:
            return Variant::Str(value.toString().toStdString());
    }
}

QVariant FromVariant(const Variant& value) {
    switch (value.vt) {
        case VT_BSTR:
            return QString::fromStdString(value.strVal);
        case VT_I2:
        case VT_I4:
            return value.intVal;
        case VT_BOOL:
            return value.intVal != 0;
        default:
            return {};
    }
}

}  // namespace

std::unique_ptr<ControlSite> ControlSite::Create(const QString& progId, QWidget* parent,
                                                 QString* error) {
    std::unique_ptr<ControlSite> site(new ControlSite);
    GUID clsid;
    HRESULT hr = CLSIDFromProgID(progId.toStdString(), &clsid);
    if (FAILED(hr)) {
        *error = QStringLiteral("%1 is not registered").arg(progId);
        return nullptr;
    }
    // The class names its type library and version; the library says what the
    // default interface holds.
    TypeLib lib;
    hr = LoadRegTypeLib(LIBID_ZEVOPLAYEROCXLib, 1, 0, &lib);
    const TypeInterface* itf = SUCCEEDED(hr) ? lib.DefaultInterface(clsid) : nullptr;
    if (!itf) {
        *error = QStringLiteral("the type library of %1 cannot be read: %2")
                     .arg(progId, QString::fromStdString(HResultText(hr)));
        return nullptr;
    }
    site->mInterface = *itf;
    hr = CoCreateInstance(clsid, nullptr, IID_IDispatch, site->mDispatch.Out());
    if (FAILED(hr)) {
        *error = QStringLiteral("%1 cannot be created: %2")
                     .arg(progId, QString::fromStdString(HResultText(hr)));
        return nullptr;
    }
    hr = site->mDispatch.As(IID_IInPlaceControl, &site->mInPlace);
    if (SUCCEEDED(hr)) hr = site->mInPlace->InPlaceActivate(parent);
    if (FAILED(hr)) {
        *error = QStringLiteral("%1 cannot be embedded: %2")
                     .arg(progId, QString::fromStdString(HResultText(hr)));
        return nullptr;
    }
    if (SUCCEEDED(site->mDispatch.As(IID_IPlayerProbe, &site->mProbe))) {
        ControlSite* s = site.get();
        site->mProbe->SetStatusListener(
            [s](int pane, const QString& text) { emit s->PaneTextChanged(pane, text); },
            [s](const QString& text) { emit s->StatusMessageQueued(text); });
    }
    return site;
}

ControlSite::~ControlSite() {
    close();
}

void ControlSite::close() {
    // The window first, as a container does when it removes a control; then the object.
    if (mProbe) mProbe->SetStatusListener({}, {});
    if (mInPlace) mInPlace->InPlaceDeactivate();
    mProbe.Reset();
    mInPlace.Reset();
    mDispatch.Reset();
}

QWidget* ControlSite::Window() const {
    return mInPlace ? mInPlace->Window() : nullptr;
}

QVariantList ControlSite::members() const {
    QVariantList list;
    for (const TypeMember& m : mInterface.members) {
        QVariantMap entry;
        entry.insert(QStringLiteral("name"), QString::fromStdString(m.name));
        entry.insert(QStringLiteral("kind"), m.kind == TypeMember::Kind::Property
                                                 ? QStringLiteral("property")
                                                 : QStringLiteral("method"));
        entry.insert(QStringLiteral("params"), static_cast<int>(m.params.size()));
        list.append(entry);
    }
    return list;
}

int ControlSite::idOfName(const QString& name) const {
    if (!mDispatch) return DISPID_UNKNOWN;
    const std::string text = name.toStdString();
    const char* names[] = {text.c_str()};
    DISPID id = DISPID_UNKNOWN;
    return SUCCEEDED(mDispatch->GetIDsOfNames(names, 1, &id)) ? id : DISPID_UNKNOWN;
}

QVariant ControlSite::Invoke(int id, uint16_t flags, const QVariantList& args) {
    if (!mDispatch) {
        mLast = E_UNEXPECTED;
        emit CallFailed(QStringLiteral("member %1 of a closed control").arg(id));
        return {};
    }
    std::vector<Variant> values;
    for (const QVariant& a : args) values.push_back(ToVariant(a));
    Variant result;
    mLast =
        mDispatch->Invoke(id, flags, values.data(), static_cast<uint32_t>(values.size()), &result);
    if (FAILED(mLast)) {
        emit CallFailed(QStringLiteral("member %1: %2")
                            .arg(id)
                            .arg(QString::fromStdString(HResultText(mLast))));
        return {};
    }
    return FromVariant(result);
}

QVariant ControlSite::invoke0(int id) {
    const TypeMember* m = mInterface.FindId(id);
    const bool property = m && m->kind == TypeMember::Kind::Property;
    return Invoke(id, property ? DISPATCH_PROPERTYGET : DISPATCH_METHOD, {});
}

QVariant ControlSite::invoke1(int id, const QVariant& value) {
    const TypeMember* m = mInterface.FindId(id);
    const bool property = m && m->kind == TypeMember::Kind::Property;
    return Invoke(id, property ? DISPATCH_PROPERTYPUT : DISPATCH_METHOD, {value});
}

QVariant ControlSite::get(int id) {
    return Invoke(id, DISPATCH_PROPERTYGET, {});
}

void ControlSite::put(int id, const QVariant& value) {
    Invoke(id, DISPATCH_PROPERTYPUT, {value});
}

QVariant ControlSite::call(int id, const QVariantList& args) {
    return Invoke(id, DISPATCH_METHOD, args);
}

QString ControlSite::paneText(int pane) const {
    return mProbe ? mProbe->PaneText(pane) : QString();
}

void ControlSite::showProperties() {
    if (mInPlace) mInPlace->DoVerb(OLEIVERB_PROPERTIES, Window());
}

}  // namespace zevo
