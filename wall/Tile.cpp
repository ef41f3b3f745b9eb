#include "wall/Wall.h"

#include "net/Text.h"

QString EnableLine(const Tile& tile) { return Q(cv::nodes::WallEnableLine(tile)); }

QString PositionLabel(int row, int column) { return QString::asprintf("%d_%d", row, column); }
