#pragma once
// The least component model the viewer control needs: result codes, interface ids,
// reference-counted interfaces looked up by id, class factories, typed values for
// dispatch by id, and the few interfaces a container uses to embed a control (window,
// drawing, property pages, saved state, object safety).
//
// Interfaces are abstract C++ classes; objects live in a module (a shared library) and
// containers reach them only through these interfaces, so both sides must be built with
// the same compiler and Qt. No exception crosses an interface: every call reports an
// HRESULT.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

class QPainter;
class QRect;
class QWidget;

namespace zevo::com {

using HRESULT = int32_t;
using DISPID = int32_t;

constexpr HRESULT Hr(uint32_t code) {
    return static_cast<HRESULT>(code);
}
constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = Hr(0x80004001);
constexpr HRESULT E_NOINTERFACE = Hr(0x80004002);
constexpr HRESULT E_POINTER = Hr(0x80004003);
constexpr HRESULT E_FAIL = Hr(0x80004005);
constexpr HRESULT E_UNEXPECTED = Hr(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = Hr(0x8007000E);
constexpr HRESULT E_INVALIDARG = Hr(0x80070057);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = Hr(0x80020003);
constexpr HRESULT DISP_E_TYPEMISMATCH = Hr(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = Hr(0x80020006);
constexpr HRESULT DISP_E_BADPARAMCOUNT = Hr(0x8002000E);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = Hr(0x8002801D);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = Hr(0x80029C4A);
constexpr HRESULT CLASS_E_NOAGGREGATION = Hr(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = Hr(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = Hr(0x80040154);
constexpr HRESULT SELFREG_E_TYPELIB = Hr(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = Hr(0x80040201);
constexpr HRESULT CO_E_DLLNOTFOUND = Hr(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = Hr(0x800401F9);

struct GUID {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};
    friend bool operator==(const GUID&, const GUID&) = default;
};

namespace detail {
constexpr uint32_t Hex(const char* text, int from, int digits) {
    uint32_t value = 0;
    for (int i = from; i < from + digits; ++i) {
        const char c = text[i];
        const uint32_t d = c >= '0' && c <= '9'   ? uint32_t(c - '0')
                           : c >= 'A' && c <= 'F' ? uint32_t(c - 'A' + 10)
                           : c >= 'a' && c <= 'f' ? uint32_t(c - 'a' + 10)
                                                  : throw "not a hex digit";
        value = value << 4 | d;
    }
    return value;
}
}  // namespace detail

// A GUID from its text without braces, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", at
// compile time.
consteval GUID MakeGuid(const char (&text)[37]) {
    GUID g;
    g.data1 = detail::Hex(text, 0, 8);
    g.data2 = static_cast<uint16_t>(detail::Hex(text, 9, 4));
    g.data3 = static_cast<uint16_t>(detail::Hex(text, 14, 4));
    g.data4[0] = static_cast<uint8_t>(detail::Hex(text, 19, 2));
    g.data4[1] = static_cast<uint8_t>(detail::Hex(text, 21, 2));
    for (int i = 0; i < 6; ++i)
        g.data4[2 + i] = static_cast<uint8_t>(detail::Hex(text, 24 + 2 * i, 2));
    return g;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as the registry keeps it.
std::string GuidToString(const GUID& guid);
// Accepts the braced form in either case; false for anything else.
bool GuidFromString(const std::string& text, GUID* guid);

class IUnknown {
public:
    virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    virtual ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
public:
    virtual HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** object) = 0;
    // While locked the module stays loaded even with no object alive.
    virtual HRESULT LockServer(bool lock) = 0;
};

// Typed values of dispatch calls: the four types the control's interface uses.
enum VarType : uint16_t { VT_EMPTY = 0, VT_I2 = 2, VT_I4 = 3, VT_BSTR = 8, VT_BOOL = 11 };
constexpr int16_t VARIANT_TRUE = -1;
constexpr int16_t VARIANT_FALSE = 0;

struct Variant {
    VarType vt = VT_EMPTY;
    int32_t intVal = 0;  // VT_I2, VT_I4, VT_BOOL (VARIANT_TRUE or VARIANT_FALSE)
    std::string strVal;  // VT_BSTR, UTF-8

    static Variant I2(int16_t v) { return {VT_I2, v, {}}; }
    static Variant I4(int32_t v) { return {VT_I4, v, {}}; }
    static Variant Bool(bool v) { return {VT_BOOL, v ? VARIANT_TRUE : VARIANT_FALSE, {}}; }
    static Variant Str(std::string v) { return {VT_BSTR, 0, std::move(v)}; }
};

// Converts between the four types: numbers narrow with a range check, a string must
// hold a whole number (or "true"/"false" for a boolean), a boolean becomes -1 or 0.
// DISP_E_TYPEMISMATCH when the value cannot be expressed in the target type.
HRESULT VariantChangeType(Variant* out, const Variant& in, VarType to);

// Invoke flags.
constexpr uint16_t DISPATCH_METHOD = 1;
constexpr uint16_t DISPATCH_PROPERTYGET = 2;
constexpr uint16_t DISPATCH_PROPERTYPUT = 4;
constexpr DISPID DISPID_UNKNOWN = -1;

class IDispatch : public IUnknown {
public:
    // One id per name (names match without regard to case); DISPID_UNKNOWN and
    // DISP_E_UNKNOWNNAME for a name the interface does not have.
    virtual HRESULT GetIDsOfNames(const char* const* names, uint32_t count, DISPID* ids) = 0;
    // Arguments in their declared order (not reversed). result may be null.
    virtual HRESULT Invoke(DISPID id, uint16_t flags, const Variant* args, uint32_t argCount,
                           Variant* result) = 0;
};

constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_CALLER = 1;
constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_DATA = 2;

class IObjectSafety : public IUnknown {
public:
    virtual HRESULT GetInterfaceSafetyOptions(const GUID& iid, uint32_t* supported,
                                              uint32_t* enabled) = 0;
    virtual HRESULT SetInterfaceSafetyOptions(const GUID& iid, uint32_t mask, uint32_t enabled) = 0;
};

// Verbs a container may ask of a control.
constexpr int OLEIVERB_PROPERTIES = -7;

// Embedding in a container's window: the control makes its window a child of parent
// on activation and destroys it on deactivation. All calls on the container's
// user-interface thread.
class IInPlaceControl : public IUnknown {
public:
    virtual HRESULT InPlaceActivate(QWidget* parent) = 0;
    virtual QWidget* Window() = 0;
    virtual HRESULT InPlaceDeactivate() = 0;
    virtual HRESULT DoVerb(int verb, QWidget* owner) = 0;
};

// Drawing without a window (into an image, a print-out).
class IViewObject : public IUnknown {
public:
    virtual HRESULT Draw(QPainter* painter, const QRect& bounds) = 0;
};

class ISpecifyPropertyPages : public IUnknown {
public:
    virtual HRESULT GetPages(std::vector<GUID>* pages) = 0;
};

class IPropertyPage : public IUnknown {
public:
    virtual HRESULT SetObjects(uint32_t count, IUnknown* const* objects) = 0;
    virtual HRESULT GetPageInfo(std::string* title, int* width, int* height) = 0;
    // Creates the page's window as a child of parent.
    virtual HRESULT Activate(QWidget* parent) = 0;
    virtual HRESULT Deactivate() = 0;
};

// The state a container keeps with its document.
class IPersistState : public IUnknown {
public:
    virtual HRESULT InitNew() = 0;
    virtual HRESULT Load(const std::vector<uint8_t>& data) = 0;
    virtual HRESULT Save(std::vector<uint8_t>* data) = 0;
    // S_OK when changed since created or loaded, S_FALSE otherwise.
    virtual HRESULT IsDirty() = 0;
};

constexpr GUID IID_IUnknown = MakeGuid("00000000-0000-0000-C000-000000000046");
constexpr GUID IID_IClassFactory = MakeGuid("00000001-0000-0000-C000-000000000046");
constexpr GUID IID_IDispatch = MakeGuid("00020400-0000-0000-C000-000000000046");
constexpr GUID IID_IObjectSafety = MakeGuid("CB5BDC81-93C1-11CF-8F20-00805F2CD064");
constexpr GUID IID_IInPlaceControl = MakeGuid("55029F79-7675-4A63-B860-BCD1112D7F62");
constexpr GUID IID_IViewObject = MakeGuid("CA1F763D-3C32-4DC6-8495-92244564B416");
constexpr GUID IID_ISpecifyPropertyPages = MakeGuid("94CA28C6-E5B2-4AA3-8DFD-8F39B45F771B");
constexpr GUID IID_IPropertyPage = MakeGuid("9AAFAB98-E828-477E-A540-8CB42B620CC0");
constexpr GUID IID_IPersistState = MakeGuid("DB222D85-E180-4E14-8C32-D777EEA0FCA0");

// The four entry points of a module, with C linkage.
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();
using DllGetClassObjectFn = HRESULT (*)(const GUID& clsid, const GUID& iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();

// Holds one reference and releases it; the container's and the tests' handle on an
// interface pointer.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr& other) : mPtr(other.mPtr) {
        if (mPtr) mPtr->AddRef();
    }
    ComPtr& operator=(const ComPtr& other) {
        if (other.mPtr) other.mPtr->AddRef();
        Reset();
        mPtr = other.mPtr;
        return *this;
    }
    void Reset() {
        if (mPtr) mPtr->Release();
        mPtr = nullptr;
    }
    T* Get() const { return mPtr; }
    T* operator->() const { return mPtr; }
    explicit operator bool() const { return mPtr != nullptr; }
    // For out parameters: releases what is held first.
    void** Out() {
        Reset();
        return reinterpret_cast<void**>(&mPtr);
    }
    template <class U>
    HRESULT As(const GUID& iid, ComPtr<U>* other) const {
        if (!mPtr) return E_POINTER;
        return mPtr->QueryInterface(iid, other->Out());
    }

private:
    T* mPtr = nullptr;
};

}  // namespace zevo::com
