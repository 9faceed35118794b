#include <QtGlobal>

// A shared library with a symbol but no Qt plugin metadata.
extern "C" Q_DECL_EXPORT int tvxTestNotAPlugin()
{
    return 42;
}
