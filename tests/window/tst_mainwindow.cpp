#include "app/about.h"
#include "app/settings.h"
#include "app/translations.h"

#include "windowfixture.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTextCodec>
#include <QTranslator>

#include <memory>

class MainWindowTest : public WindowFixture
{
    Q_OBJECT

public:
    // Tests start their own windows, after preparing the settings a start reads.
    MainWindowTest()
        : WindowFixture(false)
    {
    }

private slots:
    void slotsAreAllBoundByName();
    void formWidgets_data();
    void formWidgets();
    void actionsAndMenus();
    void optionRow();
    void fitsA1024PixelScreen();
    void titleNamesProductAndVersion();
    void firstStartUsesDefaults();
    void restoresSavedOptions_data();
    void restoresSavedOptions();
    void regularModeAtStartStoresWholeWordOff();
    void closingSavesOptions();
    void wholeWordSurvivesRegexDetour();
    void encodingLeavesLocaleCodecAlone();
    void stateMessages_data();
    void stateMessages();
    void fileCountFollowsTab();
    void keyClearEmptiesEditors();
    void tablesStartPrepared();
    void aboutBoxNamesContact();
    void helpOpensShippedGuide();
    void qtDialogsSpeakChinese_data();
    void qtDialogsSpeakChinese();

private:
    template<typename T>
    static T *child(QWidget *window, const char *name)
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    static QLabel *stateLabel(QWidget *window);
    static QLabel *fileNumLabel(QWidget *window);
};

namespace {
QStringList g_bindingWarnings;

void recordBindingWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("connectSlotsByName")))
        g_bindingWarnings.append(message);
}
} // namespace

QLabel *MainWindowTest::stateLabel(QWidget *window)
{
    return window->findChild<QStatusBar *>()->findChildren<QLabel *>().last();
}

QLabel *MainWindowTest::fileNumLabel(QWidget *window)
{
    return window->findChild<QStatusBar *>()->findChildren<QLabel *>().first();
}

// A renamed object silently unbinds its on_* slot; Qt only warns.
void MainWindowTest::slotsAreAllBoundByName()
{
    g_bindingWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordBindingWarnings);
    openWindow();
    qInstallMessageHandler(previous);
    QVERIFY2(g_bindingWarnings.isEmpty(), qPrintable(g_bindingWarnings.join(QLatin1Char('\n'))));
}

void MainWindowTest::formWidgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");

    const auto row = [](const char *name, const char *cls, const char *text) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls)
                            << QString::fromUtf8(text);
    };
    row("pushButton_list1_Adds", "QPushButton", "添加目录");
    row("pushButton_list1_Add", "QPushButton", "添加文件");
    row("pushButton_list1_Remove", "QPushButton", "删除选中");
    row("pushButton_list1_Save", "QPushButton", "导出列表");
    row("pushButton_list1_Import", "QPushButton", "导入列表");
    row("pushButton_list1_Clear", "QPushButton", "清空列表");
    row("pushButton_keyClear", "QPushButton", "清空");
    row("pushButton_list2_Adds", "QPushButton", "添加目录");
    row("pushButton_list2_Add", "QPushButton", "添加文件");
    row("pushButton_list2_RemoveRow", "QPushButton", "删除选中行");
    row("pushButton_list2_RemoveColumn", "QPushButton", "删除选中列");
    row("pushButton_list2_Save", "QPushButton", "导出列表");
    row("pushButton_list2_Import", "QPushButton", "导入列表");
    row("pushButton_list2_Clear", "QPushButton", "清空列表");
    row("pushButton_replace", "QPushButton", "开始替换");
    row("pushButton_ClearAll", "QPushButton", "全部清空");
    row("label_7", "QLabel", "关键字分隔符:");
    row("label_6", "QLabel", "文件编码:");
    row("label_5", "QLabel", "被替换关键字或位置:");
    row("label_4", "QLabel", "欲替换为:");
    row("label", "QLabel",
        "方式一：多个文件相同文本替换成相同文本  多个文本文件中的A全部替换成B 相同内容");
    row("label_2", "QLabel",
        "方式二：多个文件相同文本分别替换成不同文本  多个文本文件中的A分别替换成B、C、D... "
        "不同内容");
    row("radioButton_ordinary", "QRadioButton", "普通");
    row("radioButton_regular", "QRadioButton", "正则表达式");
    row("checkBox_full", "QCheckBox", "全词匹配");
    row("checkBox_ignoreCase", "QCheckBox", "忽略大小写");
    row("checkBox_extendedReplace", "QCheckBox", "扩展替换语法");
    row("groupBox", "QGroupBox", "1、添加文本文件列表");
    row("groupBox_2", "QGroupBox", "2、添加关键字或位置");
    row("tableWidget_list1", "QTableWidgetEx", "");
    row("tableWidget_list2", "QTableWidgetEx", "");
    row("plainTextEdit_s1", "CodeEditor", "");
    row("plainTextEdit_s2", "CodeEditor", "");
    row("splitter", "QSplitter", "");
}

void MainWindowTest::formWidgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, text);

    openWindow();
    QWidget *widget = window->findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
    else if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    else if (auto *box = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(box->title(), text);
}

void MainWindowTest::actionsAndMenus()
{
    openWindow();
    const QList<QPair<QString, QString>> fileMenu = {
        {QStringLiteral("action_Adds"), QStringLiteral("Ctrl+P")},
        {QStringLiteral("action_Add"), QStringLiteral("Ctrl+F")},
        {QString(), QString()},
        {QStringLiteral("action_Save"), QStringLiteral("Ctrl+S")},
        {QStringLiteral("action_Import"), QStringLiteral("Ctrl+I")},
        {QString(), QString()},
        {QStringLiteral("action_Clear"), QStringLiteral("Ctrl+Del")},
        {QString(), QString()},
        {QStringLiteral("action_Quit"), QStringLiteral("Ctrl+Q")},
    };
    auto *menuF = child<QMenu>(window.get(), "menu_F");
    auto *menuH = child<QMenu>(window.get(), "menu_H");
    QVERIFY(menuF && menuH);
    QCOMPARE(menuF->title(), QStringLiteral("文件(&F)"));
    QCOMPARE(menuH->title(), QStringLiteral("帮助(&H)"));
    const QList<QAction *> entries = menuF->actions();
    QCOMPARE(entries.size(), fileMenu.size());
    for (int i = 0; i < entries.size(); ++i) {
        if (fileMenu.at(i).first.isEmpty()) {
            QVERIFY(entries.at(i)->isSeparator());
            continue;
        }
        QCOMPARE(entries.at(i)->objectName(), fileMenu.at(i).first);
        QCOMPARE(
            entries.at(i)->shortcut().toString(QKeySequence::PortableText), fileMenu.at(i).second);
    }
    const QList<QAction *> help = menuH->actions();
    QCOMPARE(help.size(), 2);
    QCOMPARE(help.at(0)->text(), QStringLiteral("说明文档(&H)"));
    QCOMPARE(help.at(0)->shortcut(), QKeySequence(Qt::Key_F1));
    QCOMPARE(help.at(1)->text(), QStringLiteral("关于(&P)"));
    QCOMPARE(help.at(1)->shortcut(), QKeySequence(Qt::Key_F12));
    // The edit menu sits between them.
    const QList<QAction *> menus = window->menuBar()->actions();
    QCOMPARE(menus.size(), 3);
    QCOMPARE(menus.at(0)->menu(), menuF);
    QCOMPARE(menus.at(1)->menu()->objectName(), QStringLiteral("menu_E"));
    QCOMPARE(menus.at(2)->menu(), menuH);
    QVERIFY(window->acceptDrops());
}

void MainWindowTest::optionRow()
{
    openWindow();
    auto *separator = child<QLineEdit>(window.get(), "lineEdit_Separator");
    QCOMPARE(separator->maximumWidth(), 30);
    auto *coder = child<QComboBox>(window.get(), "comboBox_coder");
    // The saved indexes 0 and 1 keep their meaning; the engine's choices follow.
    QCOMPARE(coder->itemText(0), QStringLiteral("UTF-8"));
    QCOMPARE(coder->itemText(1), QStringLiteral("ANSI"));
    QStringList items;
    for (int i = 0; i < coder->count(); ++i)
        items.append(coder->itemText(i));
    QCOMPARE(items, TextEncoding::choiceNames());
    QCOMPARE(child<QCheckBox>(window.get(), "checkBox_keepFormat")->text(),
        QStringLiteral("保持原格式"));
    QVERIFY(!child<QCheckBox>(window.get(), "checkBox_keepFormat")->isChecked());
    auto *ordinary = child<QRadioButton>(window.get(), "radioButton_ordinary");
    auto *regular = child<QRadioButton>(window.get(), "radioButton_regular");
    QVERIFY(ordinary->group() && ordinary->group() == regular->group());
    QCOMPARE(ordinary->group()->objectName(), QStringLiteral("buttonGroup"));
    regular->click();
    QVERIFY(!ordinary->isChecked());
    QCOMPARE(child<QPushButton>(window.get(), "pushButton_replace")->shortcut(),
        QKeySequence(QStringLiteral("Ctrl+Shift+H")));
    QCOMPARE(child<QPushButton>(window.get(), "pushButton_ClearAll")->shortcut(),
        QKeySequence(QStringLiteral("Ctrl+Shift+C")));
    for (const char *name : {"tableWidget_list1", "tableWidget_list2", "tabWidget_1", "groupBox"})
        QVERIFY2(!child<QWidget>(window.get(), name)->acceptDrops(), name);
    QCOMPARE(child<QPushButton>(window.get(), "pushButton_list1_Add")->toolTip(),
        QStringLiteral("Ctrl+F"));
    QCOMPARE(child<QPushButton>(window.get(), "pushButton_list2_Clear")->toolTip(),
        QStringLiteral("Ctrl+Del"));
}

void MainWindowTest::fitsA1024PixelScreen()
{
    openWindow();
    QVERIFY2(window->minimumSizeHint().width() <= 960,
        qPrintable(QString::number(window->minimumSizeHint().width())));
    window->showNormal();
    window->resize(960, 700);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->width(), 960);
    // Nothing is squeezed below the size it needs to show its text.
    for (QWidget *widget : window->findChildren<QAbstractButton *>()) {
        if (widget->isVisibleTo(window.get()) && widget->width() > 0)
            QVERIFY2(widget->width() >= widget->minimumSizeHint().width(),
                qPrintable(widget->objectName()));
    }
}

void MainWindowTest::titleNamesProductAndVersion()
{
    openWindow();
    QVERIFY(window->windowTitle().startsWith(
        QStringLiteral("青禾纯文本批量替换 V5.0.0.2 BY 青禾软件开发工作室 QQ/VX：")));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("5.0.0.2"));
    QVERIFY(window->windowState() & Qt::WindowMaximized);
}

void MainWindowTest::firstStartUsesDefaults()
{
    openWindow();
    QCOMPARE(child<QTabWidget>(window.get(), "tabWidget_1")->currentIndex(), 0);
    QCOMPARE(
        child<QComboBox>(window.get(), "comboBox_coder")->currentText(), QStringLiteral("UTF-8"));
    QCOMPARE(child<QLineEdit>(window.get(), "lineEdit_Separator")->text(), QStringLiteral("|"));
    QVERIFY(child<QRadioButton>(window.get(), "radioButton_ordinary")->isChecked());
    QVERIFY(!child<QCheckBox>(window.get(), "checkBox_full")->isChecked());
    QVERIFY(child<QCheckBox>(window.get(), "checkBox_full")->isEnabled());
    QCOMPARE(QTextCodec::codecForLocale()->name(), QByteArray("UTF-8"));
    QCOMPARE(stateLabel(window.get())->text(),
        QStringLiteral(" 就绪★★★处理之前请自行对文件进行备份★★★"));
    const QList<QLabel *> labels = window->statusBar()->findChildren<QLabel *>();
    QCOMPARE(labels.size(), 6);
    QCOMPARE(labels.at(0)->text(), QStringLiteral(" 文件(0)"));
    QCOMPARE(labels.at(1)->text(), QStringLiteral(" 成功(0)"));
    QCOMPARE(labels.at(2)->text(), QStringLiteral(" 失败(0)"));
    QCOMPARE(labels.at(3)->text(), QStringLiteral(" 丢失(0)"));
    QCOMPARE(labels.at(4)->text(), QStringLiteral(" 跳过(0)"));
}

void MainWindowTest::restoresSavedOptions_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<QString>("coder");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("full");
    QTest::addColumn<int>("expectedTab");
    QTest::addColumn<QString>("expectedCoder");
    QTest::addColumn<bool>("expectedFull");

    QTest::newRow("second tab, ANSI, comma, whole word") << "1"
                                                         << "1"
                                                         << ","
                                                         << "1" << 1 << "ANSI" << true;
    QTest::newRow("an empty separator stays empty") << "0"
                                                    << "0"
                                                    << ""
                                                    << "0" << 0 << "UTF-8" << false;
    QTest::newRow("out-of-range indexes leave tab one and no encoding") << "7"
                                                                        << "15"
                                                                        << "|"
                                                                        << "0" << 0 << "" << false;
    QTest::newRow("garbage numbers read as zero") << "x"
                                                  << "abc"
                                                  << ";"
                                                  << "yes" << 0 << "UTF-8" << false;
}

void MainWindowTest::restoresSavedOptions()
{
    QFETCH(QString, way);
    QFETCH(QString, coder);
    QFETCH(QString, separator);
    QFETCH(QString, full);
    QFETCH(int, expectedTab);
    QFETCH(QString, expectedCoder);
    QFETCH(bool, expectedFull);

    const QString path = testSettingsPath();
    writeSetting(path, QStringLiteral("set"), QStringLiteral("way"), way);
    writeSetting(path, QStringLiteral("set"), QStringLiteral("coder"), coder);
    writeSetting(path, QStringLiteral("set"), QStringLiteral("separator"), separator);
    writeSetting(path, QStringLiteral("set"), QStringLiteral("ordinary"), QStringLiteral("1"));
    writeSetting(path, QStringLiteral("set"), QStringLiteral("full"), full);

    openWindow();
    QCOMPARE(child<QTabWidget>(window.get(), "tabWidget_1")->currentIndex(), expectedTab);
    QCOMPARE(child<QComboBox>(window.get(), "comboBox_coder")->currentText(), expectedCoder);
    QCOMPARE(child<QLineEdit>(window.get(), "lineEdit_Separator")->text(), separator);
    QCOMPARE(child<QCheckBox>(window.get(), "checkBox_full")->isChecked(), expectedFull);
}

void MainWindowTest::regularModeAtStartStoresWholeWordOff()
{
    const QString path = testSettingsPath();
    writeSetting(path, QStringLiteral("set"), QStringLiteral("ordinary"), QStringLiteral("0"));
    writeSetting(path, QStringLiteral("set"), QStringLiteral("full"), QStringLiteral("1"));

    openWindow();
    QVERIFY(child<QRadioButton>(window.get(), "radioButton_regular")->isChecked());
    auto *full = child<QCheckBox>(window.get(), "checkBox_full");
    QVERIFY(!full->isEnabled());
    QVERIFY(!full->isChecked());
    QCOMPARE(readSetting(path, QStringLiteral("set"), QStringLiteral("full"), QString()),
        QStringLiteral("0"));
}

void MainWindowTest::closingSavesOptions()
{
    openWindow();
    child<QTabWidget>(window.get(), "tabWidget_1")->setCurrentIndex(1);
    child<QComboBox>(window.get(), "comboBox_coder")->setCurrentIndex(1);
    child<QLineEdit>(window.get(), "lineEdit_Separator")->setText(QStringLiteral("、"));
    child<QCheckBox>(window.get(), "checkBox_full")->setChecked(true);
    child<QCheckBox>(window.get(), "checkBox_keepFormat")->setChecked(true);
    child<QCheckBox>(window.get(), "checkBox_ignoreCase")->setChecked(true);
    closeWindow();
    const QString path = testSettingsPath();
    const auto value = [&](const char *key) {
        return readSetting(path, QStringLiteral("set"), QString::fromLatin1(key), QString());
    };
    QCOMPARE(value("way"), QStringLiteral("1"));
    QCOMPARE(value("coder"), QStringLiteral("1"));
    QCOMPARE(value("separator"), QStringLiteral("、"));
    QCOMPARE(value("ordinary"), QStringLiteral("1"));
    QCOMPARE(value("full"), QStringLiteral("1"));
    QCOMPARE(value("keepFormat"), QStringLiteral("1"));
    QCOMPARE(value("ignoreCase"), QStringLiteral("1"));
    openWindow();
    QVERIFY(child<QCheckBox>(window.get(), "checkBox_keepFormat")->isChecked());
    QVERIFY(child<QCheckBox>(window.get(), "checkBox_ignoreCase")->isChecked());
    closeWindow();

    openWindow();
    child<QRadioButton>(window.get(), "radioButton_regular")->click();
    child<QCheckBox>(window.get(), "checkBox_extendedReplace")->click();
    closeWindow();
    QCOMPARE(value("ordinary"), QStringLiteral("0"));
    QCOMPARE(value("full"), QStringLiteral("0"));
    QCOMPARE(value("extendedReplace"), QStringLiteral("1"));
    openWindow();
    const auto *extended = child<QCheckBox>(window.get(), "checkBox_extendedReplace");
    QVERIFY(extended->isChecked() && extended->isEnabled());
}

void MainWindowTest::wholeWordSurvivesRegexDetour()
{
    openWindow();
    auto *full = child<QCheckBox>(window.get(), "checkBox_full");
    full->setChecked(true);
    child<QRadioButton>(window.get(), "radioButton_regular")->click();
    QVERIFY(!full->isChecked());
    QVERIFY(!full->isEnabled());
    child<QRadioButton>(window.get(), "radioButton_ordinary")->click();
    QVERIFY(full->isChecked());
    QVERIFY(full->isEnabled());
}

// The choice travels with the run: the locale codec, which also encodes file names,
// stays as it is.
void MainWindowTest::encodingLeavesLocaleCodecAlone()
{
    openWindow();
    QTextCodec *locale = QTextCodec::codecForLocale();
    auto *coder = child<QComboBox>(window.get(), "comboBox_coder");
    coder->setCurrentIndex(1);
    QCOMPARE(window->fileEncoding(), TextEncoding::systemCodePage());
    QCOMPARE(QTextCodec::codecForLocale(), locale);
    coder->setCurrentIndex(0);
    QCOMPARE(window->fileEncoding(), TextEncoding::utf8());
    QCOMPARE(QTextCodec::codecForLocale(), locale);
}

void MainWindowTest::stateMessages_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const QList<QPair<int, const char *>> table = {
        {1, "添加目录文件中..."},
        {2, "添加目录文件完毕!"},
        {3, "添加目录文件被取消!"},
        {9, "添加文件中..."},
        {10, "添加文件完毕!"},
        {11, "添加文件被取消!"},
        {13, "文件已存在!"},
        {17, "删除文件中..."},
        {18, "文件删除完毕!"},
        {25, "列表导出中,请稍后..."},
        {26, "列表导出完毕!"},
        {27, "列表导出被取消!"},
        {28, "列表导出失败!"},
        {33, "列表导入中,请稍后..."},
        {34, "列表导入完毕!"},
        {41, "列表被清空!"},
        {49, "文件替换处理中..."},
        {50, "发现被替换关键字有[空]行,请检查!"},
        {51, "文件替换处理被取消!"},
        {58, "拖入文件类型不受支持!"},
        {7, "7 咦?这是神马操作?"},
        {35, "35 咦?这是神马操作?"},
        {36, "36 咦?这是神马操作?"},
        {-1, "-1 咦?这是神马操作?"},
    };
    for (const auto &entry : table)
        QTest::addRow("code %d", entry.first) << entry.first << QString::fromUtf8(entry.second);
}

void MainWindowTest::stateMessages()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    openWindow();
    emit window->stateChangedSignals(code);
    QCOMPARE(stateLabel(window.get())->text(), message);
}

void MainWindowTest::fileCountFollowsTab()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char *name : {"a.txt", "b.txt"}) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    openWindow();
    auto *tabs = child<QTabWidget>(window.get(), "tabWidget_1");
    whenModal([&dir](QWidget *modal) {
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))
            ->setText(QStringLiteral("\"%1\" \"%2\"")
                          .arg(dir.filePath(QStringLiteral("a.txt")),
                              dir.filePath(QStringLiteral("b.txt"))));
        static_cast<QDialog *>(modal)->accept();
    });
    child<QPushButton>(window.get(), "pushButton_list1_Add")->click();
    QCOMPARE(window->list1().size(), 2);
    QCOMPARE(fileNumLabel(window.get())->text(), QStringLiteral(" 文件(2)"));
    tabs->setCurrentIndex(1);
    QCOMPARE(fileNumLabel(window.get())->text(), QStringLiteral(" 文件(0)"));
    tabs->setCurrentIndex(0);
    QCOMPARE(fileNumLabel(window.get())->text(), QStringLiteral(" 文件(2)"));
}

void MainWindowTest::keyClearEmptiesEditors()
{
    openWindow();
    auto *keys = window->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s1"));
    auto *replacements = window->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s2"));
    keys->setPlainText(QStringLiteral("a\nb"));
    replacements->setPlainText(QStringLiteral("c"));
    child<QPushButton>(window.get(), "pushButton_keyClear")->click();
    QVERIFY(keys->toPlainText().isEmpty());
    QVERIFY(replacements->toPlainText().isEmpty());
    QCOMPARE(stateLabel(window.get())->text(), QStringLiteral("列表被清空!"));

    emit window->stateChangedSignals(7);
    child<QPushButton>(window.get(), "pushButton_keyClear")->click();
    QCOMPARE(stateLabel(window.get())->text(), QStringLiteral("列表被清空!"));
}

void MainWindowTest::tablesStartPrepared()
{
    openWindow();
    auto *list1 = child<QTableWidget>(window.get(), "tableWidget_list1");
    QCOMPARE(list1->rowCount(), 0);
    QCOMPARE(list1->columnCount(), 1);
    QCOMPARE(list1->horizontalHeaderItem(0)->text(), QStringLiteral("文件名"));
    QCOMPARE(list1->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(list1->viewport()->hasMouseTracking());

    auto *list2 = child<QTableWidget>(window.get(), "tableWidget_list2");
    QCOMPARE(list2->rowCount(), 1);
    QCOMPARE(list2->columnCount(), 1);
    QCOMPARE(list2->horizontalHeaderItem(0)->text(), QStringLiteral("关键字"));
    QVERIFY(list2->item(0, 0));
    QVERIFY(list2->editTriggers() != QAbstractItemView::NoEditTriggers);
    QVERIFY(list2->viewport()->hasMouseTracking());
}

void MainWindowTest::aboutBoxNamesContact()
{
    openWindow();
    QString title;
    QString text;
    whenModal([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        title = box->windowTitle();
        text = box->text();
        box->accept();
    });
    child<QAction>(window.get(), "action_P")->trigger();
    QCOMPARE(title, QStringLiteral("关于易换"));
    QVERIFY(text.startsWith(QStringLiteral("提供建议、意见 或定做软件。\n请联系作者QQ/VX:")));
    QVERIFY(text.endsWith(authorContact()));
}

void MainWindowTest::helpOpensShippedGuide()
{
    openWindow();
    child<QAction>(window.get(), "action")->trigger();
    QCOMPARE(catcher.urls.size(), 1);
    QVERIFY(catcher.urls.first().isLocalFile());
    QVERIFY(QFileInfo(catcher.urls.first().toLocalFile()).isFile());
    QVERIFY(catcher.urls.first().toLocalFile().endsWith(QLatin1String("/index.html")));
}

void MainWindowTest::qtDialogsSpeakChinese_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("cancel");
    QTest::newRow("a simplified Chinese system") << "zh_CN"
                                                 << "取消";
    QTest::newRow("a Taiwan system gets traditional script") << "zh_TW"
                                                             << "取消";
    QTest::newRow("any other system still matches the program") << "en_US"
                                                                << "取消";
}

void MainWindowTest::qtDialogsSpeakChinese()
{
    QFETCH(QString, locale);
    QFETCH(QString, cancel);
    if (!installQtTranslations(*qApp, QLocale(locale)))
        QSKIP("Qt's translations are not installed (qttranslations5-l10n)");
    QDialogButtonBox box(QDialogButtonBox::Cancel | QDialogButtonBox::Open);
    QCOMPARE(box.button(QDialogButtonBox::Cancel)->text(), cancel);
    QVERIFY(box.button(QDialogButtonBox::Open)->text().contains(QStringLiteral("打开"))
        || box.button(QDialogButtonBox::Open)->text().contains(QStringLiteral("開啟")));
    for (QTranslator *translator : qApp->findChildren<QTranslator *>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
