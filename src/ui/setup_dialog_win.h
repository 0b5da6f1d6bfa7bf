// The Win32 setup window's fixed geometry, shared with its tests.
#pragma once

namespace Veltrix {

inline constexpr wchar_t kSetupDialogClass[] = L"Veltrix.SetupDialog";
inline constexpr int kSetupClientWidth = 820;
inline constexpr int kSetupCollapsedHeight = 594;
inline constexpr int kSetupExpandedHeight = 1066;
inline constexpr int kSetupAdvancedTag = 42;

}  // namespace Veltrix
