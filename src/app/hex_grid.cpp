#include "app/hex_grid.h"

#include <algorithm>
#include <functional>

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QStyledItemDelegate>
#include <QUndoCommand>
#include <QUndoStack>

namespace tavrel {

namespace {

constexpr int kUndoLimit = 100;

}  // namespace

// The bytes behind the grid, shown BytesPerRow to a row. Writes made through SetBytes do not
// notify the view until Refresh.
class HexGridModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    std::vector<std::uint8_t> bytes;
    // Called for a byte the operator typed: index, old value, new value.
    std::function<void(int, std::uint8_t, std::uint8_t)> onEdited;

    int rowCount(const QModelIndex& parent = {}) const override {
        if (parent.isValid()) return 0;
        return static_cast<int>((bytes.size() + THexGrid::BytesPerRow - 1) / THexGrid::BytesPerRow);
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : THexGrid::BytesPerRow;
    }
    int IndexOf(const QModelIndex& cell) const { return cell.row() * THexGrid::BytesPerRow + cell.column(); }
    bool Holds(const QModelIndex& cell) const {
        return cell.isValid() && IndexOf(cell) < static_cast<int>(bytes.size());
    }

    QVariant data(const QModelIndex& cell, int role) const override {
        if (!Holds(cell)) return {};
        const std::uint8_t value = bytes[static_cast<std::size_t>(IndexOf(cell))];
        if (role == Qt::DisplayRole || role == Qt::EditRole) {
            return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
        }
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
        return {};
    }

    bool setData(const QModelIndex& cell, const QVariant& value, int role) override {
        if (role != Qt::EditRole || !Holds(cell)) return false;
        bool ok = false;
        const uint parsed = value.toString().trimmed().toUInt(&ok, 16);
        if (!ok || parsed > 0xFF) return false;
        auto& byte = bytes[static_cast<std::size_t>(IndexOf(cell))];
        const std::uint8_t old = byte;
        byte = static_cast<std::uint8_t>(parsed);
        emit dataChanged(cell, cell);
        if (onEdited && old != byte) onEdited(IndexOf(cell), old, byte);
        return true;
    }

    Qt::ItemFlags flags(const QModelIndex& cell) const override {
        if (!Holds(cell)) return Qt::NoItemFlags;
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (role != Qt::DisplayRole) return {};
        if (orientation == Qt::Vertical) {
            return "0x" + QStringLiteral("%1")
                              .arg(section * THexGrid::BytesPerRow, 2, 16, QLatin1Char('0'))
                              .toUpper();
        }
        return QString::number(section, 16).toUpper();
    }

    void Resize(int size) {
        beginResetModel();
        bytes.assign(static_cast<std::size_t>(std::max(size, 0)), 0);
        endResetModel();
    }

    void Refresh() {
        if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    }
};

namespace {

// One typed byte, undoable.
class ByteEdit : public QUndoCommand {
public:
    ByteEdit(HexGridModel* model, int index, std::uint8_t before, std::uint8_t after)
        : m_model(model), m_index(index), m_before(before), m_after(after) {}
    void undo() override { Set(m_before); }
    void redo() override {
        if (m_firstRedo) {  // the edit itself already stored the byte
            m_firstRedo = false;
            return;
        }
        Set(m_after);
    }

private:
    void Set(std::uint8_t value) {
        if (m_index < static_cast<int>(m_model->bytes.size())) {
            m_model->bytes[static_cast<std::size_t>(m_index)] = value;
            const QModelIndex cell =
                m_model->index(m_index / THexGrid::BytesPerRow, m_index % THexGrid::BytesPerRow);
            emit m_model->dataChanged(cell, cell);
        }
    }
    HexGridModel* m_model;
    int m_index;
    std::uint8_t m_before;
    std::uint8_t m_after;
    bool m_firstRedo = true;
};

// Editing a cell takes at most two hex digits.
class HexByteDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& cell) const override {
        auto* editor = qobject_cast<QLineEdit*>(QStyledItemDelegate::createEditor(parent, option, cell));
        if (editor != nullptr) {
            editor->setMaxLength(2);
            editor->setValidator(
                new QRegularExpressionValidator(QRegularExpression("[0-9A-Fa-f]{1,2}"), editor));
        }
        return editor;
    }
};

}  // namespace

THexGrid::THexGrid(QWidget* parent)
    : QTableView(parent), m_model(new HexGridModel(this)), m_undoStack(new QUndoStack(this)) {
    m_undoStack->setUndoLimit(kUndoLimit);
    m_model->onEdited = [this](int index, std::uint8_t before, std::uint8_t after) {
        m_undoStack->push(new ByteEdit(m_model, index, before, after));
    };
    setModel(m_model);
    setItemDelegate(new HexByteDelegate(this));
    setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::DoubleClicked |
                    QAbstractItemView::EditKeyPressed);
    setSelectionMode(QAbstractItemView::SingleSelection);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(20);
}

THexGrid::~THexGrid() = default;

void THexGrid::SetDataSize(int size) {
    m_undoStack->clear();
    m_model->Resize(size);
}

int THexGrid::DataSize() const {
    return static_cast<int>(m_model->bytes.size());
}

std::uint8_t THexGrid::GetDataAt(int index) const {
    return index >= 0 && index < DataSize() ? m_model->bytes[static_cast<std::size_t>(index)] : 0;
}

void THexGrid::SetDataAt(int index, std::uint8_t value) {
    if (index >= 0 && index < DataSize()) m_model->bytes[static_cast<std::size_t>(index)] = value;
}

bool THexGrid::WriteBuffer(int index, std::span<const std::uint8_t> bytes) {
    if (index < 0 || static_cast<std::size_t>(index) + bytes.size() > m_model->bytes.size()) return false;
    std::copy(bytes.begin(), bytes.end(), m_model->bytes.begin() + index);
    return true;
}

void THexGrid::Repaint() {
    m_model->Refresh();
}

void THexGrid::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Undo)) {
        m_undoStack->undo();
        return;
    }
    if (event->matches(QKeySequence::Redo)) {
        m_undoStack->redo();
        return;
    }
    QTableView::keyPressEvent(event);
}

}  // namespace tavrel
