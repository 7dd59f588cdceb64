// The program's icon (resource 128) at every size it ships in.
#pragma once

#include <QIcon>

QIcon programIcon();
