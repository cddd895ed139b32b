#include "app/PictureFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "core/PictureSaver.h"

std::string DefaultPictureFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
  if (!QFileInfo(folder).isDir()) folder = QDir::currentPath();
  return WithTrailingSlash(QDir::fromNativeSeparators(folder).toStdString());
}
