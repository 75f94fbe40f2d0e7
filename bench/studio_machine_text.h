// The fixed part of the generated machines: the example machine's keys, in the form regedit writes them
// (LF here; the writer turns every line end into CRLF). Each text starts with the blank line that goes
// before its first key line and ends with the line end of its last value.
#pragma once

namespace studio {

// The Enum and Enum\Root keys with the system board.
inline constexpr const char kEnumRoot[] = R"reg(
[HKEY_LOCAL_MACHINE\Enum]

[HKEY_LOCAL_MACHINE\Enum\Root]

[HKEY_LOCAL_MACHINE\Enum\Root\*PNP0C01]

[HKEY_LOCAL_MACHINE\Enum\Root\*PNP0C01\0000]
"Class"="System"
"DeviceDesc"="System board"
"HardwareID"="*PNP0C01"
"Mfg"="(Standard system devices)"
"ConfigFlags"=hex:00,00,00,00
"Driver"="System\\0000"
)reg";

// Enum\PCI with the bridges, the display adapter, the other sound card, the modem and the network adapter.
inline constexpr const char kPciNeighbours[] = R"reg(
[HKEY_LOCAL_MACHINE\Enum\PCI]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03\BUS_00&DEV_00&FUNC_00]
"DeviceDesc"="Intel 82443BX Pentium(r) II Processor to PCI bridge"
"Class"="System"
"HardwareID"="PCI\\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03,PCI\\VEN_8086&DEV_7190&SUBSYS_00000000,PCI\\VEN_8086&DEV_7190&REV_03,PCI\\VEN_8086&DEV_7190"
"CompatibleIDs"="PCI\\VEN_8086&DEV_7190&REV_03,PCI\\VEN_8086&DEV_7190,PCI\\VEN_8086&CC_060000,PCI\\VEN_8086&CC_0600,PCI\\VEN_8086,PCI\\CC_060000,PCI\\CC_0600"
"Mfg"="Intel"
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="003"
"Driver"="System\\0010"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7110&SUBSYS_00000000&REV_02]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7110&SUBSYS_00000000&REV_02\BUS_00&DEV_07&FUNC_00]
"DeviceDesc"="Intel 82371AB/EB PCI to ISA bridge (ISA mode)"
"Class"="System"
"HardwareID"="PCI\\VEN_8086&DEV_7110&SUBSYS_00000000&REV_02,PCI\\VEN_8086&DEV_7110&SUBSYS_00000000,PCI\\VEN_8086&DEV_7110&REV_02,PCI\\VEN_8086&DEV_7110"
"CompatibleIDs"="PCI\\VEN_8086&DEV_7110&REV_02,PCI\\VEN_8086&DEV_7110,PCI\\VEN_8086&CC_060100,PCI\\VEN_8086&CC_0601,PCI\\VEN_8086,PCI\\CC_060100,PCI\\CC_0601"
"Mfg"="Intel"
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="002"
"Driver"="System\\0011"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01\BUS_00&DEV_07&FUNC_01]
"DeviceDesc"="Intel 82371AB/EB PCI Bus Master IDE Controller"
"Class"="hdc"
"HardwareID"="PCI\\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01,PCI\\VEN_8086&DEV_7111&SUBSYS_00000000,PCI\\VEN_8086&DEV_7111&REV_01,PCI\\VEN_8086&DEV_7111"
"CompatibleIDs"="PCI\\VEN_8086&DEV_7111&REV_01,PCI\\VEN_8086&DEV_7111,PCI\\VEN_8086&CC_010180,PCI\\VEN_8086&CC_0101,PCI\\VEN_8086,PCI\\CC_010180,PCI\\CC_0101"
"Mfg"="Intel"
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="001"
"Driver"="hdc\\0000"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01\BUS_00&DEV_07&FUNC_01\LogConfig]
"0000"=hex:00,04,00,00,00,00,00,00,02,00,00,00,00,00,00,00,24,00,00,00,00,01,\
  00,00,00,f0,00,f0,08,00,00,00,ff,ff,00,00,01,00,00,00,08,00,00,00,1c,00,00,\
  00,04,00,00,00,01,00,00,00,00,00,00,00,ff,00,00,00,00,00,00,00,0e,00,00,00,\
  00,00,00,00,00,00,00,00

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_10DE&DEV_0020&SUBSYS_00000000&REV_04]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_10DE&DEV_0020&SUBSYS_00000000&REV_04\BUS_01&DEV_00&FUNC_00]
"DeviceDesc"="NVIDIA RIVA TNT"
"Class"="DISPLAY"
"HardwareID"="PCI\\VEN_10DE&DEV_0020&SUBSYS_00000000&REV_04,PCI\\VEN_10DE&DEV_0020&SUBSYS_00000000,PCI\\VEN_10DE&DEV_0020&REV_04,PCI\\VEN_10DE&DEV_0020"
"CompatibleIDs"="PCI\\VEN_10DE&DEV_0020&REV_04,PCI\\VEN_10DE&DEV_0020,PCI\\VEN_10DE&CC_030000,PCI\\VEN_10DE&CC_0300,PCI\\VEN_10DE,PCI\\CC_030000,PCI\\CC_0300"
"Mfg"="NVIDIA"
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="004"
"Driver"="DISPLAY\\0000"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1274&DEV_1371&SUBSYS_13711274&REV_06]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1274&DEV_1371&SUBSYS_13711274&REV_06\BUS_00&DEV_09&FUNC_00]
"DeviceDesc"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"Class"="MEDIA"
"HardwareID"="PCI\\VEN_1274&DEV_1371&SUBSYS_13711274&REV_06,PCI\\VEN_1274&DEV_1371&SUBSYS_13711274,PCI\\VEN_1274&DEV_1371&REV_06,PCI\\VEN_1274&DEV_1371"
"CompatibleIDs"="PCI\\VEN_1274&DEV_1371&REV_06,PCI\\VEN_1274&DEV_1371,PCI\\VEN_1274&CC_040100,PCI\\VEN_1274&CC_0401,PCI\\VEN_1274,PCI\\CC_040100,PCI\\CC_0401"
"Mfg"="Creative Technology Ltd."
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="006"
"Driver"="MEDIA\\0000"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1274&DEV_1371&SUBSYS_13711274&REV_06\BUS_00&DEV_09&FUNC_00\LogConfig]
"0000"=hex:00,04,00,00,00,00,00,00,02,00,00,00,00,00,00,00,24,00,00,00,00,01,\
  00,00,00,d4,00,d4,40,00,00,00,ff,ff,00,00,01,00,00,00,08,00,00,00,1c,00,00,\
  00,04,00,00,00,01,00,00,00,00,00,00,00,00,02,00,00,00,00,00,00,0b,00,00,00,\
  00,00,00,00,00,00,00,00

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0211&SUBSYS_021113F6&REV_00]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0211&SUBSYS_021113F6&REV_00\BUS_00&DEV_0D&FUNC_00]
"DeviceDesc"="HSP56 MicroModem"
"Class"="Modem"
"HardwareID"="PCI\\VEN_13F6&DEV_0211&SUBSYS_021113F6&REV_00,PCI\\VEN_13F6&DEV_0211&SUBSYS_021113F6,PCI\\VEN_13F6&DEV_0211&REV_00,PCI\\VEN_13F6&DEV_0211"
"CompatibleIDs"="PCI\\VEN_13F6&DEV_0211&REV_00,PCI\\VEN_13F6&DEV_0211,PCI\\VEN_13F6&CC_070000,PCI\\VEN_13F6&CC_0700,PCI\\VEN_13F6,PCI\\CC_070000,PCI\\CC_0700"
"Mfg"="C-Media"
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="000"
"Driver"="Modem\\0000"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10\BUS_00&DEV_0F&FUNC_00]
"DeviceDesc"="Realtek RTL8139(A) PCI Fast Ethernet Adapter"
"Class"="Net"
"HardwareID"="PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10,PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC,PCI\\VEN_10EC&DEV_8139&REV_10,PCI\\VEN_10EC&DEV_8139"
"CompatibleIDs"="PCI\\VEN_10EC&DEV_8139&REV_10,PCI\\VEN_10EC&DEV_8139,PCI\\VEN_10EC&CC_020000,PCI\\VEN_10EC&CC_0200,PCI\\VEN_10EC,PCI\\CC_020000,PCI\\CC_0200"
"Mfg"="Realtek"
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="016"
"Driver"="Net\\0000"
)reg";

// The card's device key with its instance.
inline constexpr const char kCardDevice[] = R"reg(
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10\BUS_00&DEV_0B&FUNC_00]
"DeviceDesc"="C-Media CMI8738/C3DX PCI Audio Device"
"Class"="MEDIA"
"HardwareID"="PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10,PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6,PCI\\VEN_13F6&DEV_0111&REV_10,PCI\\VEN_13F6&DEV_0111"
"CompatibleIDs"="PCI\\VEN_13F6&DEV_0111&REV_10,PCI\\VEN_13F6&DEV_0111,PCI\\VEN_13F6&CC_040100,PCI\\VEN_13F6&CC_0401,PCI\\VEN_13F6,PCI\\CC_040100,PCI\\CC_0401"
"Mfg"="C-Media"
"ConfigFlags"=hex:00,00,00,00
"HWRevision"="016"
"BootConfig"=hex:00,04,00,00,00,00,00,00,01,00,00,00,00,00,00,00,24,00,00,00,\
  00,01,00,00,00,d8,00,d8,00,01,00,00,ff,ff,00,00,01,00,00,00,08,00,00,00
"Driver"="MEDIA\\0001"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10\BUS_00&DEV_0B&FUNC_00\LogConfig]
"0000"=hex:00,04,00,00,00,00,00,00,02,00,00,00,00,00,00,00,24,00,00,00,00,01,\
  00,00,00,d8,00,d8,00,01,00,00,ff,ff,00,00,01,00,00,00,08,00,00,00,1c,00,00,\
  00,04,00,00,00,01,00,00,00,00,00,00,00,00,04,00,00,00,00,00,00,0a,00,00,00,\
  00,00,00,00,00,00,00,00
)reg";

// Enum\VIRTUAL: both game ports, the card's DOS and Sound Blaster emulations, the kernel audio device.
inline constexpr const char kVirtual[] = R"reg(
[HKEY_LOCAL_MACHINE\Enum\VIRTUAL]

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\*PNPB02F]

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\*PNPB02F\PCI&VEN_1274&DEV_1371&SUBSYS_13711274&REV_06&BUS_00&DEV_09&FUNC_00]
"Class"="MEDIA"
"DeviceDesc"="Gameport Joystick"
"HardwareID"="*PNPB02F"
"Mfg"="(Standard system devices)"
"ConfigFlags"=hex:00,00,00,00
"Driver"="MEDIA\\0005"

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\*PNPB02F\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00]
"Class"="MEDIA"
"DeviceDesc"="Standard Game Port"
"HardwareID"="*PNPB02F"
"Mfg"="(Standard system devices)"
"ConfigFlags"=hex:00,00,00,00
"Driver"="MEDIA\\0002"

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-DOSEMU]

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-DOSEMU\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00]
"Class"="MEDIA"
"DeviceDesc"="C-Media PCI Legacy Device (DOS Emulation)"
"HardwareID"="SSC-DOSEMU"
"Mfg"="C-Media"
"ConfigFlags"=hex:00,00,00,00
"Driver"="MEDIA\\0003"

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-SBEMU]

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-SBEMU\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00]
"Class"="MEDIA"
"DeviceDesc"="C-Media PCI Legacy Device (SB Emulation)"
"HardwareID"="SSC-SBEMU"
"Mfg"="C-Media"
"ConfigFlags"=hex:00,00,00,00
"Driver"="MEDIA\\0004"

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\WDMKS]

[HKEY_LOCAL_MACHINE\Enum\VIRTUAL\WDMKS\PCI&VEN_1274&DEV_1371&SUBSYS_13711274&REV_06&BUS_00&DEV_09&FUNC_00]
"Class"="MEDIA"
"DeviceDesc"="Microsoft Kernel System Audio Device"
"HardwareID"="WDMKS"
"Mfg"="Microsoft"
"ConfigFlags"=hex:00,00,00,00
"Driver"="MEDIA\\0006"
)reg";

// The SOFTWARE key.
inline constexpr const char kSoftware[] = R"reg(
[HKEY_LOCAL_MACHINE\SOFTWARE]
)reg";

// SOFTWARE\Microsoft\Windows\CurrentVersion and the uninstall entries, the card's among them.
inline constexpr const char kCurrentVersion[] = R"reg(
[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft]

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows]

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion]
"SystemRoot"="C:\\WINDOWS"
"ProductName"="Microsoft Windows 98"
"Version"="Windows 98"
"VersionNumber"="4.10.2222"
"SubVersionNumber"=" A "
"RegisteredOwner"="Studio"
"RegisteredOrganization"=""
"DevicePath"="C:\\WINDOWS\\INF"
"MediaPath"="C:\\WINDOWS\\MEDIA"
"ProgramFilesDir"="C:\\Program Files"
"CommonFilesDir"="C:\\Program Files\\Common Files"
"SetupFlags"="00000000"
"FirstInstallDateTime"=hex:a1,5c,4e,2b

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall]

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\AddressBook]
"DisplayName"="Address Book"
"UninstallString"="rundll32.exe setupwbv.dll,IE6Maintenance \"C:\\Program Files\\Outlook Express\\setup50.exe\" /prefix:\"AB\" /uninstall"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\DirectXDrivers]
"DisplayName"="DirectX Drivers"
"UninstallString"="C:\\WINDOWS\\SYSTEM\\dxsetup.exe"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\NetMeeting]
"DisplayName"="Microsoft NetMeeting 3.01"
"UninstallString"="rundll32.exe advpack.dll,LaunchINFSection C:\\WINDOWS\\INF\\msnetmtg.inf,NetMtg.Remove"
"QuietUninstallString"="rundll32.exe advpack.dll,LaunchINFSection C:\\WINDOWS\\INF\\msnetmtg.inf,NetMtg.Remove,5"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\PelkoSoundDrune]
"DisplayName"="Pelko Sound DRUNE PCI Audio Driver"
"UninstallString"="C:\\WINDOWS\\Cldrune.exe"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\PelkoSoundDrune\Components]
"Drivers"="1"
"Applications"="1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\PelkoStudioKalto]
"DisplayName"="Pelko Studio KALTO"
"UninstallString"="\"C:\\Program Files\\Pelko\\Kalto\\Uninst.exe\" /remove"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\WinZip]
"DisplayName"="WinZip"
"UninstallString"="\"C:\\Program Files\\WinZip\\WINZIP32.EXE\" /uninstall"
)reg";

// System\CurrentControlSet: the multimedia resources and the Class key.
inline constexpr const char kSystem[] = R"reg(
[HKEY_LOCAL_MACHINE\System]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\aux]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\aux\wdmaud.drv<0000>]
"Active"="1"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"Driver"="wdmaud.drv"
"FriendlyName"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"DevNode"=hex:00,39,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\aux\cmpci95.drv<0001>]
"Active"="1"
"Description"="C-Media PCI Audio Device"
"Driver"="cmpci95.drv"
"FriendlyName"="C-Media PCI Audio Device"
"DevNode"=hex:20,3c,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>]
"Active"="1"
"Description"="Gameport Joystick"
"Driver"="msjstick.drv"
"FriendlyName"="Gameport Joystick"
"DevNode"=hex:60,3a,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0002>]
"Active"="1"
"Description"="Standard Game Port"
"Driver"="msjstick.drv"
"FriendlyName"="Standard Game Port"
"DevNode"=hex:40,3d,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\wdmaud.drv<0000>]
"Active"="1"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"Driver"="wdmaud.drv"
"FriendlyName"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"DevNode"=hex:00,39,c5,c1
"Port"="0"
"Mapper"="1"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\cmpcifm.drv<0001>]
"Active"="1"
"Description"="C-Media PCI FM Synthesizer"
"Driver"="cmpcifm.drv"
"FriendlyName"="C-Media PCI FM Synthesizer"
"DevNode"=hex:20,3c,c5,c1
"Port"="1"
"Mapper"="1"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\cmmpupci.drv<0003>]
"Active"="1"
"Description"="C-Media PCI MPU-401 MIDI Port"
"Driver"="cmmpupci.drv"
"FriendlyName"="C-Media PCI MPU-401 MIDI Port"
"DevNode"=hex:a0,3e,c5,c1
"Port"="0"
"Mapper"="1"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\mixer]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\mixer\wdmaud.drv<0000>]
"Active"="1"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"Driver"="wdmaud.drv"
"FriendlyName"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"DevNode"=hex:00,39,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\mixer\cmpci95.drv<0001>]
"Active"="1"
"Description"="C-Media Audio Mixer"
"Driver"="cmpci95.drv"
"FriendlyName"="C-Media Audio Mixer"
"DevNode"=hex:20,3c,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\msacm]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\msacm\msacm.imaadpcm]
"Description"="IMA ADPCM"
"Driver"="imaadp32.acm"
"FriendlyName"="IMA ADPCM"
"Priority"=dword:00000001

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\msacm\msacm.msadpcm]
"Description"="Microsoft ADPCM"
"Driver"="msadp32.acm"
"FriendlyName"="Microsoft ADPCM"
"Priority"=dword:00000002

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\wdmaud.drv<0000>]
"Active"="1"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"Driver"="wdmaud.drv"
"FriendlyName"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"DevNode"=hex:00,39,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\cmpci95.drv<0001>]
"Active"="1"
"Description"="C-Media PCI Audio Device"
"Driver"="cmpci95.drv"
"FriendlyName"="C-Media PCI Audio Device"
"DevNode"=hex:20,3c,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class]
)reg";

inline constexpr const char kClassDisplay[] = R"reg(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\DISPLAY]
@="Display adapters"
"Installer"="SetupX.Dll, Display_ClassInstaller"
"Icon"="-1"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\DISPLAY\0000]
"DriverDesc"="NVIDIA RIVA TNT"
"InfPath"="oem1.inf"
"InfSection"="NV4"
"ProviderName"="NVIDIA"
"DevLoader"="*vdd"
"Ver"="4.0"
"DriverDate"="10-14-1999"
"DevNode"=hex:80,38,c5,c1

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\DISPLAY\0000\DEFAULT]
"drv"="nvdisp.drv"
"vdd"="*vdd,*vflatd"
"Minivdd"="nvmini.vxd"
"RefreshRate"="-1"
"DDC"="1"
)reg";

inline constexpr const char kClassHdc[] = R"reg(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc]
@="Hard disk controllers"
"Icon"="-9"
"Installer"="SetupX.Dll, Hdc_ClassInstaller"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0000]
"DriverDesc"="Intel 82371AB/EB PCI Bus Master IDE Controller"
"InfPath"="mshdc.inf"
"InfSection"="PIIX4_IDE"
"ProviderName"="Microsoft"
"DevLoader"="*IOS"
"PortDriver"="ESDI_506.pdr"
"DriverDate"=" 4-23-1999"
)reg";

// MEDIA: the other card's class 0000, the card's 0001 to 0004, game port 0005, kernel audio 0006.
inline constexpr const char kClassMedia[] = R"reg(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA]
@="Sound, video and game controllers"
"Icon"="4"
"Installer"="mmci.dll"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000]
"DriverDesc"="Creative AudioPCI (ES1371,ES1373) (WDM)"
"InfPath"="oem0.inf"
"InfSection"="ES1371"
"ProviderName"="Creative"
"DriverDate"="11-16-1999"
"DevLoader"="*ntkern"
"EnumPropPages"="mmsys.cpl,MediaPropPageProvider"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers]
"SubClasses"="wave,midi,mixer,aux"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\wave]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\wave\wdmaud.drv]
"Driver"="wdmaud.drv"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\midi]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\midi\wdmaud.drv]
"Driver"="wdmaud.drv"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\mixer]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\mixer\wdmaud.drv]
"Driver"="wdmaud.drv"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\aux]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Drivers\aux\wdmaud.drv]
"Driver"="wdmaud.drv"
"Description"="Creative AudioPCI (ES1371,ES1373) (WDM)"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000\Settings]
"SaveState"="1"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001]
"DriverDesc"="C-Media CMI8738/C3DX PCI Audio Device"
"InfPath"="oem3.inf"
"InfSection"="CMPCI.Install"
"ProviderName"="C-Media"
"DriverDate"="3-2-2000"
"DevLoader"="mmdevldr.vxd"
"Driver"="cmaudio.vxd"
"EnumPropPages"="mmsys.cpl,MediaPropPageProvider"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers]
"SubClasses"="wave,midi,mixer,aux"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\wave]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\wave\cmpci95.drv]
"Driver"="cmpci95.drv"
"Description"="C-Media PCI Audio Device"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\midi]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\midi\cmpcifm.drv]
"Driver"="cmpcifm.drv"
"Description"="C-Media PCI FM Synthesizer"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\midi\cmswmpu.drv]
"Driver"="cmswmpu.drv"
"Description"="C-Media Software MPU-401"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\mixer]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\mixer\cmpci95.drv]
"Driver"="cmpci95.drv"
"Description"="C-Media Audio Mixer"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\aux]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers\aux\cmpci95.drv]
"Driver"="cmpci95.drv"
"Description"="C-Media PCI Audio Device"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Config]
"Resources"=hex:00,d8,00,00,0a,00,00,00,20,03,00,00,00,00,00,00
"SpeakerMode"="2"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0002]
"DriverDesc"="Standard Game Port"
"InfPath"="msjstick.inf"
"InfSection"="JoyPort"
"ProviderName"="Microsoft"
"DriverDate"=" 4-23-1999"
"DevLoader"="mmdevldr.vxd"
"Driver"="vjoyd.vxd"
"EnumPropPages"="mmsys.cpl,MediaPropPageProvider"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0002\Drivers]
"SubClasses"="joystick"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0002\Drivers\joystick]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0002\Drivers\joystick\msjstick.drv]
"Driver"="msjstick.drv"
"Description"="Standard Game Port"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0003]
"DriverDesc"="C-Media PCI Legacy Device (DOS Emulation)"
"InfPath"="oem4.inf"
"InfSection"="DOSEMU.Install"
"ProviderName"="C-Media"
"DriverDate"="3-2-2000"
"DevLoader"="mmdevldr.vxd"
"Driver"="cmswmpu.vxd"
"EnumPropPages"="mmsys.cpl,MediaPropPageProvider"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0003\Drivers]
"SubClasses"="midi"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0003\Drivers\midi]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0003\Drivers\midi\cmmpupci.drv]
"Driver"="cmmpupci.drv"
"Description"="C-Media PCI MPU-401 MIDI Port"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0004]
"DriverDesc"="C-Media PCI Legacy Device (SB Emulation)"
"InfPath"="oem4.inf"
"InfSection"="SBEMU.Install"
"ProviderName"="C-Media"
"DriverDate"="3-2-2000"
"DevLoader"="mmdevldr.vxd"
"Driver"="cmaudio.vxd"
"EnumPropPages"="mmsys.cpl,MediaPropPageProvider"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005]
"DriverDesc"="Gameport Joystick"
"InfPath"="msjstick.inf"
"InfSection"="JoyPort"
"ProviderName"="Microsoft"
"DriverDate"=" 4-23-1999"
"DevLoader"="mmdevldr.vxd"
"Driver"="vjoyd.vxd"
"EnumPropPages"="mmsys.cpl,MediaPropPageProvider"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005\Drivers]
"SubClasses"="joystick"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005\Drivers\joystick]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005\Drivers\joystick\msjstick.drv]
"Driver"="msjstick.drv"
"Description"="Gameport Joystick"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0006]
"DriverDesc"="Microsoft Kernel System Audio Device"
"InfPath"="wdmaudio.inf"
"InfSection"="WDMAUD"
"ProviderName"="Microsoft"
"DriverDate"=" 4-23-1999"
"DevLoader"="*ntkern"
"EnumPropPages"="mmsys.cpl,MediaPropPageProvider"
)reg";

inline constexpr const char kClassModem[] = R"reg(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem]
@="Modem"
"Icon"="-1"
"Installer"="modemui.dll"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Modem\0000]
"DriverDesc"="HSP56 MicroModem"
"InfPath"="oem2.inf"
"InfSection"="HSP56"
"ProviderName"="C-Media"
"AttachedTo"="COM3"
"Model"="HSP56 MicroModem"
"Properties"=hex:80,01,00,00,ff,00,00,00,ff,00,00,00,07,00,00,00,0f,00,00,00,\
  f7,03,00,00,00,c2,01,00,40,83,00,00
)reg";

inline constexpr const char kClassNet[] = R"reg(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Net]
@="Network adapters"
"Icon"="-5"
"Installer"="netdi.dll"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Net\0000]
"DriverDesc"="Realtek RTL8139(A) PCI Fast Ethernet Adapter"
"InfPath"="oem5.inf"
"InfSection"="RTL8139.ndi"
"ProviderName"="Realtek"
"DevLoader"="*ndis"
"DeviceVxDs"="rtl8139.sys"
"NetworkAddress"=""
)reg";

inline constexpr const char kClassSystem[] = R"reg(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\System]
@="System devices"
"Icon"="-27"
"Installer"="SetupX.Dll, System_ClassInstaller"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\System\0000]
"DriverDesc"="System board"
"InfPath"="machine.inf"
"InfSection"="NO_DRV"
"ProviderName"="Microsoft"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\System\0010]
"DriverDesc"="Intel 82443BX Pentium(r) II Processor to PCI bridge"
"InfPath"="machine.inf"
"InfSection"="PCI_DRV"
"ProviderName"="Microsoft"
"DevLoader"="*pci"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\System\0011]
"DriverDesc"="Intel 82371AB/EB PCI to ISA bridge (ISA mode)"
"InfPath"="machine.inf"
"InfSection"="ISA_DRV"
"ProviderName"="Microsoft"
"DevLoader"="*isapnp"
)reg";

// HKEY_USERS\.Default and its Control Panel.
inline constexpr const char kDefaultUser[] = R"reg(
[HKEY_USERS\.Default]

[HKEY_USERS\.Default\Control Panel]

[HKEY_USERS\.Default\Control Panel\Desktop]
"Wallpaper"="(None)"
"TileWallpaper"="0"
"ScreenSaveActive"="0"
"ScreenSaveTimeOut"="900"
"CoolSwitch"="1"

[HKEY_USERS\.Default\Control Panel\International]
"Locale"="00000409"

[HKEY_USERS\.Default\Control Panel\Sounds]
"SystemDefault"=","
)reg";

// The default user's software keys down to Volume Control, with the other card's mixer settings.
inline constexpr const char kDefaultUserSoftware[] = R"reg(
[HKEY_USERS\.Default\Software]

[HKEY_USERS\.Default\Software\Microsoft]

[HKEY_USERS\.Default\Software\Microsoft\Windows]

[HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion]

[HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion\Applets]

[HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion\Applets\Volume Control]
"Options"=dword:00000000

[HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion\Applets\Volume Control\Creative Mixer]
"Options"=hex:00,00,00,00
"Window"=hex:2c,00,00,00,00,00,00,00,01,00,00,00
"Style"="0"
)reg";

// The card's mixer settings.
inline constexpr const char kCardMixer[] = R"reg(
[HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion\Applets\Volume Control\C-Media Audio Mixer]
"Options"=hex:05,00,00,00
"Window"=hex:2c,00,00,00,00,00,00,00,01,00,00,00
"Style"="0"
"Line0"="Wave,CD Audio,Line In,Microphone"
)reg";

// WordPad's settings.
inline constexpr const char kWordPad[] = R"reg(
[HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion\Applets\WordPad]

[HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion\Applets\WordPad\Options]
"Options"=hex:00,00,00,00,01,00,00,00,f0,00,00,00,2c,01,00,00,1e,00,00,00,ae,\
  01,00,00,94,00,00,00,12,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,01,00,\
  00,00,00,00,00,00,00,00,00,00,00,00,00,00
)reg";

}  // namespace studio
