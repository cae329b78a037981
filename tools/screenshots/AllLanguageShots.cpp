// Every window in every language (--all-languages): OUTDIR/<language code>/<window>.png.
#include "CvLanguage.h"
#include "WindowTour.h"

#include <QDir>
#include <QScreen>
#include <QWidget>

#include <cstdio>

int AllLanguageShots(const QString& outDir) {
  int failed = 0;
  for (int language = 1; language <= kLanguageCount; ++language) {
    const QString folder = outDir + QLatin1Char('/') + HistoryLanguageCode(language).toLower();
    QDir().mkpath(folder);
    TourWindows(language, [&](QWidget* window, const QString& name) {
      const QRect frame = window->frameGeometry();
      QPixmap shot = window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
      if (shot.isNull()) shot = window->grab();
      const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".png");
      if (!shot.save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        ++failed;
      } else {
        std::printf("%s\n", qPrintable(file));
      }
    });
  }
  return failed == 0 ? 0 : 1;
}
