#include "app/statecodes.h"

QString stateMessage(int stateCode)
{
    switch (stateCode) {
    case 1:
        return QStringLiteral("添加目录文件中...");
    case 2:
        return QStringLiteral("添加目录文件完毕!");
    case 3:
        return QStringLiteral("添加目录文件被取消!");
    case 9:
        return QStringLiteral("添加文件中...");
    case 10:
        return QStringLiteral("添加文件完毕!");
    case 11:
        return QStringLiteral("添加文件被取消!");
    case 13:
        return QStringLiteral("文件已存在!");
    case 17:
        return QStringLiteral("删除文件中...");
    case 18:
        return QStringLiteral("文件删除完毕!");
    case 25:
        return QStringLiteral("列表导出中,请稍后...");
    case 26:
        return QStringLiteral("列表导出完毕!");
    case 27:
        return QStringLiteral("列表导出被取消!");
    case 28:
        return QStringLiteral("列表导出失败!");
    case 33:
        return QStringLiteral("列表导入中,请稍后...");
    case 34:
        return QStringLiteral("列表导入完毕!");
    case 41:
        return QStringLiteral("列表被清空!");
    case 49:
        return QStringLiteral("文件替换处理中...");
    case 50:
        return QStringLiteral("发现被替换关键字有[空]行,请检查!");
    case 51:
        return QStringLiteral("文件替换处理被取消!");
    case 52:
        return QStringLiteral("文件替换处理已停止!");
    case 58:
        return QStringLiteral("拖入文件类型不受支持!");
    case 65:
        return QStringLiteral("预览中...");
    case 66:
        return QStringLiteral("预览完毕!");
    case 67:
        return QStringLiteral("预览被停止!");
    case 73:
        return QStringLiteral("撤销上次替换中...");
    case 74:
        return QStringLiteral("撤销上次替换完毕!");
    case 75:
        return QStringLiteral("没有可以撤销的替换!");
    default:
        return QString::number(stateCode) + QStringLiteral(" 咦?这是神马操作?");
    }
}
