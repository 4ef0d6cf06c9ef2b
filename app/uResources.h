#pragma once
// Registers the program's pictures (app.qrc). The resources live in a static
// library, so they are registered by hand before the first use.
void InitAppResources();
