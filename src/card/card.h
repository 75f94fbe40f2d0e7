// The card this program removes, as its driver's setup left it on Windows: the PCI id that names its
// device keys, the uninstall entry its setup wrote, and the name of its mixer in the Volume Control's
// settings.
#pragma once

inline constexpr char kCardPciId[] = "VEN_13F6&DEV_0111";
inline constexpr char kUninstallEntry[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoSoundDrune";
inline constexpr char kMixerName[] = "C-Media Audio Mixer";
