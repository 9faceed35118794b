// Two small libraries that a main form plugin links and that lie in the
// solutions directory only: the plugin needs the first, the first needs the
// second, so that loading them takes the dependencies of dependencies too.
#include <QtGlobal>

#ifdef TVX_TEST_SOLUTION_BASE
extern "C" Q_DECL_EXPORT int tvxtestSolutionBase(int code)
{
    return code;
}
#else
extern "C" int tvxtestSolutionBase(int code);

extern "C" Q_DECL_EXPORT int tvxtestSolutionResult(int code)
{
    return tvxtestSolutionBase(code);
}
#endif
