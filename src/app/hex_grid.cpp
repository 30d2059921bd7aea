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

#include "gadget/data_flash.h"

namespace tavrel {

namespace {

constexpr int kUndoLimit = 100;

}  // namespace

// Shows a storage object's bytes BytesPerRow to a row. Writes made to the storage directly do not
// notify the view until Refresh.
class HexGridModel : public QAbstractTableModel {
public:
    HexGridModel(DataFlashImage* storage, QObject* parent) : QAbstractTableModel(parent), storage(storage) {}

    DataFlashImage* storage;
    // Called for a byte the operator typed: index, old value, new value.
    std::function<void(int, std::uint8_t, std::uint8_t)> onEdited;

    int rowCount(const QModelIndex& parent = {}) const override {
        if (parent.isValid()) return 0;
        return static_cast<int>((storage->Size() + THexGrid::BytesPerRow - 1) / THexGrid::BytesPerRow);
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : THexGrid::BytesPerRow;
    }
    int IndexOf(const QModelIndex& cell) const { return cell.row() * THexGrid::BytesPerRow + cell.column(); }
    bool Holds(const QModelIndex& cell) const {
        return cell.isValid() && IndexOf(cell) < static_cast<int>(storage->Size());
    }

    QVariant data(const QModelIndex& cell, int role) const override {
        if (!Holds(cell)) return {};
        const std::uint8_t value = storage->At(static_cast<std::size_t>(IndexOf(cell)));
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
        const auto index = static_cast<std::size_t>(IndexOf(cell));
        const std::uint8_t old = storage->At(index);
        const auto typed = static_cast<std::uint8_t>(parsed);
        storage->Set(index, typed);
        emit dataChanged(cell, cell);
        if (onEdited && old != typed) onEdited(IndexOf(cell), old, typed);
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
        storage->Resize(static_cast<std::size_t>(std::max(size, 0)));
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
        if (m_index < static_cast<int>(m_model->storage->Size())) {
            m_model->storage->Set(static_cast<std::size_t>(m_index), value);
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
    : QTableView(parent),
      m_storage(std::make_unique<DataFlashImage>()),
      m_model(new HexGridModel(m_storage.get(), this)),
      m_undoStack(new QUndoStack(this)) {
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

// The model outlives the storage (it goes with the widget's children): the view lets go of it first.
THexGrid::~THexGrid() {
    setModel(nullptr);
}

void THexGrid::SetDataSize(int size) {
    m_undoStack->clear();
    m_model->Resize(size);
}

DataFlashImage& THexGrid::Storage() const {
    return *m_model->storage;
}

void THexGrid::ClearUndoHistory() {
    m_undoStack->clear();
}

int THexGrid::DataSize() const {
    return static_cast<int>(m_model->storage->Size());
}

std::uint8_t THexGrid::GetDataAt(int index) const {
    return index >= 0 ? m_model->storage->At(static_cast<std::size_t>(index)) : 0;
}

void THexGrid::SetDataAt(int index, std::uint8_t value) {
    if (index >= 0) m_model->storage->Set(static_cast<std::size_t>(index), value);
}

bool THexGrid::WriteBuffer(int index, std::span<const std::uint8_t> bytes) {
    return index >= 0 && m_model->storage->Write(static_cast<std::size_t>(index), bytes);
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
