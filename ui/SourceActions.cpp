#include "SourceActions.h"

namespace loomwell::ui
{

SourceActions SourceActions::live (PipeWireConnection& connection)
{
    SourceActions actions;
    actions.listApps = [&connection] { return listCapturableApps (connection); };
    actions.listInputs = [&connection] { return listInputDevices (connection); };
    return actions;
}

} // namespace loomwell::ui
