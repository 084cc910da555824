#include "component/property_frame.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "component/runtime.h"

namespace zevo::com {

namespace {

// Keeps a page object for as long as its tab exists.
class PageHolder : public QWidget {
public:
    PageHolder(ComPtr<IPropertyPage> page, QWidget* parent)
        : QWidget(parent), mPage(std::move(page)) {}
    ~PageHolder() override { mPage->Deactivate(); }

private:
    ComPtr<IPropertyPage> mPage;
};

}  // namespace

QDialog* CreatePropertyFrame(QWidget* owner, const std::string& caption, IUnknown* object,
                             const std::vector<GUID>& pages) {
    auto* dialog = new QDialog(owner);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("propertyFrame"));
    dialog->setWindowTitle(QString::fromStdString(caption));
    auto* tabs = new QTabWidget(dialog);
    for (const GUID& clsid : pages) {
        ComPtr<IPropertyPage> page;
        if (FAILED(CoCreateInstance(clsid, nullptr, IID_IPropertyPage, page.Out()))) continue;
        IUnknown* objects[] = {object};
        page->SetObjects(1, objects);
        std::string title;
        int width = 0;
        int height = 0;
        page->GetPageInfo(&title, &width, &height);
        auto* holder = new PageHolder(page, tabs);
        holder->setMinimumSize(width, height);
        if (FAILED(page->Activate(holder))) {
            delete holder;
            continue;
        }
        tabs->addTab(holder, QString::fromStdString(title));
    }
    if (tabs->count() == 0) {
        delete dialog;
        return nullptr;
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(tabs);
    layout->addWidget(buttons);
    return dialog;
}

}  // namespace zevo::com
