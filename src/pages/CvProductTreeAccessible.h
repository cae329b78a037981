#pragma once

// The product tree as a screen reader meets it: rows of cells, each row's tick box with a
// "Toggle" action that ticks and unticks as the space bar does. The stock tree interface
// would toggle the row's selection instead (and on another row than the one asked for when
// the row is a child), so the tree brings its own.

#include <QModelIndex>

class QAccessibleInterface;
class QObject;
class QString;
class QTreeView;

// Installs the accessibility factory for the product tree; once is enough, more is harmless.
void InstallProductTreeAccessible();

// Tells the screen reader the tick of the row's first cell, after it changed.
void AnnounceProductTick(QTreeView* view, const QModelIndex& index);
