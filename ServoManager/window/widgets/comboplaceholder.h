#pragma once

#include <QString>

class QComboBox;
class QListView;

// The last item of the edit view's combo boxes is the placeholder "-": shown while nothing
// is known, never offered while connected (not in the list, and not reachable with the
// keys or the wheel, which skip disabled items).
namespace comboplaceholder {
int index(const QComboBox* box);
void setOffered(QComboBox* box, QListView* view, bool offered);
// Paints the box with `text` instead of its current item.
void paintWithText(QComboBox* box, const QString& text);

extern const char* const offlineSheet;
extern const char* const onlineSheet;
} // namespace comboplaceholder
