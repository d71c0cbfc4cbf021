#include "shell/Samples.h"

#include <QCoreApplication>
#include <QUrl>

#include "shell/Outside.h"
#include "shell/StartUp.h"
#include "shell/WindowHost.h"

namespace Samples {

namespace {

void loadSample(WindowHost& window, const char* procedureName, WindowHost::Field field, const char* fileSuffix,
                const char* folderSuffix) {
    // A missing sample is not looked for here; the split or join reports it.
    const Outside& outside = window.outside();
    const ReportingProcedure sample = window.procedure(procedureName);
    sample.run(100, [&] { window.setFieldText(field, outside.programFolder + QLatin1String(fileSuffix)); });
    // A failing question counts as Yes.
    if (sample.test(
            102,
            [&] {
                return !window.closing() &&
                       outside.messages.question(&window.form(), window.applicationTitle(),
                                                 QCoreApplication::translate("StartUp", StartUp::sampleQuestion));
            },
            true)) {
        // Opening does not wait, and its result is not examined.
        sample.run(104, [&] {
            outside.desktop.openUrl(QUrl::fromLocalFile(outside.programFolder + QLatin1String(folderSuffix)));
        });
    }
}

} // namespace

void loadSplitSample(WindowHost& window) {
    loadSample(window, "PushButton7_Click", WindowHost::Field::Text1, StartUp::splitSampleSuffix,
               StartUp::splitSampleFolderSuffix);
}

void loadJoinSample(WindowHost& window) {
    loadSample(window, "PushButton8_Click", WindowHost::Field::Text4, StartUp::joinSampleSuffix,
               StartUp::joinSampleFolderSuffix);
}

} // namespace Samples
