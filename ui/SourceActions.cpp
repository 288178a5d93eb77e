#include "SourceActions.h"

namespace loomwell::ui
{

SourceActions SourceActions::live()
{
    SourceActions actions;
    actions.listApps = [] { return listCapturableApps(); };
    actions.listInputs = [] { return listInputDevices(); };
    return actions;
}

} // namespace loomwell::ui
