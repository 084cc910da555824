#pragma once
// Result codes of the graph operations, kept in the HRESULT style the graph code reports:
// 0 or more success, negative failure.
#include <cstdint>

namespace zevo {

inline constexpr int32_t S_OK = 0;
inline constexpr int32_t S_FALSE = 1;
inline constexpr int32_t E_POINTER = static_cast<int32_t>(0x80004003u);
inline constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t E_NOINTERFACE = static_cast<int32_t>(0x80004002u);
inline constexpr int32_t E_UNEXPECTED = static_cast<int32_t>(0x8000ffffu);
inline constexpr int32_t E_OUTOFMEMORY = static_cast<int32_t>(0x8007000eu);
inline constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057u);
// No element of the requested kind is installed (the class is not registered).
inline constexpr int32_t REGDB_E_CLASSNOTREG = static_cast<int32_t>(0x80040154u);

}  // namespace zevo
