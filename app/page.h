// How an option page joins the window.
//
// A page is one source pair under pages/explorer/ or pages/system/. Its .cpp defines one builder
// with QV_PAGE, named after the file (pages/system/window_animation.cpp -> QV_PAGE(window_animation));
// the build lists every such file and the main window calls each builder once, after the frames
// exist and before the first load pass. A builder
//   - creates its controls on its frame, form.fraOption(node), with the toolkit classes and
//     their names as objectName ("chkAnimateWindows", "optExploreFromHere(0)"), placed in twips;
//   - connects its handlers;
//   - hands over its load block and its save block for its slot of the pass tables (pass.h):
//     form.setLoadBlock(node, ...), form.setSaveBlock(node, ...).
// A block runs every statement through pass.step(...) and every condition through
// pass.test(...), and talks to the registry only through pass.reg(). Controls set from a load
// block fire their events as a user's change would; a handler that must tell the two apart asks
// form.fraOption(node)->Visible(). Scripting mode finds the controls by name, so a page gets
// --list, --set and --click without further work.
//
//   QV_PAGE(window_animation) {
//       auto* chk = new qv::tk::CheckBox("&Animate Windows", form.fraOption(24), "chkAnimateWindows");
//       qv::tk::place(chk, 840, 1800, 3855, 255);
//       form.setLoadBlock(24, [chk](qv::Pass& p) { ... p.step([&] { ... }); });
//       form.setSaveBlock(24, [chk](qv::Pass& p) { ... });
//   }
#pragma once

#include "app/frmmain.h"
#include "app/nodes.h"
#include "app/pass.h"
#include "app/toolkit.h"
#include "registry/cregistry.h"

#define QV_PAGE(name) void qvPage_##name(::qv::frmMain& form)
