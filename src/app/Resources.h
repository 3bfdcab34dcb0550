#pragma once

// The icon and the licence text are compiled into the program; a static
// library's resources must be registered once before use.
void InitQuennetResources();
