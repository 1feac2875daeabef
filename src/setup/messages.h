#pragma once
// The texts the user sees: the caption of every box and one message per kind of failure; and
// the source name of the run's record in the Application event log.

namespace kyt {

inline constexpr char16_t kSetupCaption[] = u"KYT DRIVER SETUP";
inline constexpr char16_t kEventSource[] = u"KYT Driver Setup";

inline constexpr char16_t kMessageInvalidPackage[] = u"驱动安装包内容无效，无法继续安装。";
inline constexpr char16_t kMessageNoStagingDirectory[] = u"无法创建驱动安装所需的临时目录。";
inline constexpr char16_t kMessageNoPackageFolder[] = u"无法创建驱动安装所需的临时文件夹。";
inline constexpr char16_t kMessageMissingFile[] = u"驱动安装包缺少必要文件。";
inline constexpr char16_t kMessageCannotWrite[] = u"无法释放驱动安装文件。";
inline constexpr char16_t kMessageCannotStartInstaller[] = u"无法启动Trelvik驱动安装程序。";

}  // namespace kyt
