// Fixed registry path texts of Windows that several parts of the run use; the card's own texts are in
// card/card.h.
#pragma once

inline constexpr char kEnum[] = "Enum";
inline constexpr char kEnumPci[] = "Enum\\PCI";
inline constexpr char kBackslash[] = "\\";
inline constexpr char kClassKeyPrefix[] = "System\\CurrentControlSet\\Services\\Class\\";
inline constexpr char kDriverValue[] = "Driver";
inline constexpr char kVolumeControlKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control";
