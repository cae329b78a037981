#pragma once

// The release history: which section of the document the update window opens at, decided
// without a window. A section starts at an element whose name or id is its language code.

#include <QString>
#include <QStringList>

class QTextDocument;

// Every anchor name the document holds, in document order, each once.
QStringList HistoryAnchorNames(const QTextDocument& document);

// The anchor to scroll to for a language (1..8): its own code when the document has that
// section, else "EN" when it has that one, else empty (stay at the top).
QString HistorySectionFor(const QStringList& anchors, int language);
QString HistorySectionFor(const QTextDocument& document, int language);
