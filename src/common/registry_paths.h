// Fixed registry path texts that several parts of the run use.
#pragma once

inline constexpr char kEnum[] = "Enum";
inline constexpr char kEnumPci[] = "Enum\\PCI";
inline constexpr char kBackslash[] = "\\";
inline constexpr char kCardPciId[] = "VEN_13F6&DEV_0111";
inline constexpr char kClassKeyPrefix[] = "System\\CurrentControlSet\\Services\\Class\\";
inline constexpr char kDriverValue[] = "Driver";
inline constexpr char kUninstallEntry[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoSoundDrune";
inline constexpr char kVolumeControlKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control";
inline constexpr char kMixerName[] = "C-Media Audio Mixer";
