#include "component/com.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace zevo::com {

std::string GuidToString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                  g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                  g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

bool GuidFromString(const std::string& text, GUID* guid) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex) return false;
    }
    const char* t = text.c_str() + 1;
    guid->data1 = detail::Hex(t, 0, 8);
    guid->data2 = static_cast<uint16_t>(detail::Hex(t, 9, 4));
    guid->data3 = static_cast<uint16_t>(detail::Hex(t, 14, 4));
    guid->data4[0] = static_cast<uint8_t>(detail::Hex(t, 19, 2));
    guid->data4[1] = static_cast<uint8_t>(detail::Hex(t, 21, 2));
    for (int i = 0; i < 6; ++i) {
        guid->data4[static_cast<size_t>(2 + i)] =
            static_cast<uint8_t>(detail::Hex(t, 24 + 2 * i, 2));
    }
    return true;
}

HRESULT VariantChangeType(Variant* out, const Variant& in, VarType to) {
    if (!out) return E_POINTER;
    long long number = 0;
    switch (in.vt) {
        case VT_I2:
        case VT_I4:
        case VT_BOOL:
            number = in.intVal;
            break;
        case VT_BSTR: {
            if (to == VT_BSTR) break;
            if (to == VT_BOOL && (in.strVal == "true" || in.strVal == "false")) {
                number = in.strVal == "true" ? VARIANT_TRUE : VARIANT_FALSE;
                break;
            }
            const char* begin = in.strVal.c_str();
            char* end = nullptr;
            errno = 0;
            number = std::strtoll(begin, &end, 10);
            if (in.strVal.empty() || *end != '\0' || errno == ERANGE) return DISP_E_TYPEMISMATCH;
            break;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    Variant result;
    result.vt = to;
    switch (to) {
        case VT_BSTR:
            result.strVal = in.vt == VT_BSTR   ? in.strVal
                            : in.vt == VT_BOOL ? (in.intVal ? "True" : "False")
                                               : std::to_string(in.intVal);
            break;
        case VT_I4:
            if (number < std::numeric_limits<int32_t>::min() ||
                number > std::numeric_limits<int32_t>::max()) {
                return DISP_E_TYPEMISMATCH;
            }
            result.intVal = static_cast<int32_t>(number);
            break;
        case VT_I2:
            if (number < std::numeric_limits<int16_t>::min() ||
                number > std::numeric_limits<int16_t>::max()) {
                return DISP_E_TYPEMISMATCH;
            }
            result.intVal = static_cast<int32_t>(number);
            break;
        case VT_BOOL:
            result.intVal = number != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    *out = std::move(result);
    return S_OK;
}

}  // namespace zevo::com
