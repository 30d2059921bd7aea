#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <QTableView>

class QUndoStack;

namespace tavrel {

class DataFlashImage;
class HexGridModel;

// The byte grid of the data flash page: shows and edits the bytes of a storage object, 8 a row,
// row offsets in hex with a "0x" prefix, a ruler of column offsets above, typing over bytes in
// place with up to 100 undo steps. Programmatic writes change the bytes without asking the view
// to repaint; Repaint does.
class THexGrid : public QTableView {
    Q_OBJECT

public:
    static constexpr int BytesPerRow = 8;

    explicit THexGrid(QWidget* parent = nullptr);
    ~THexGrid() override;

    // The bytes shown, a storage object of their own: reads and writes of the gadget use them.
    DataFlashImage& Storage() const;
    // Forgets the typed edits, for when the bytes have been replaced from elsewhere (read from the
    // gadget, cleared): undoing must not bring back what was there before.
    void ClearUndoHistory();

    // Resizes the data to `size` bytes, zero-filled, and repaints.
    void SetDataSize(int size);
    int DataSize() const;
    std::uint8_t GetDataAt(int index) const;
    void SetDataAt(int index, std::uint8_t value);
    // Writes `bytes` at `index`; refuses (returns false, writes nothing) a range that does not lie
    // wholly within the data.
    bool WriteBuffer(int index, std::span<const std::uint8_t> bytes);
    // Shows the current bytes.
    void Repaint();

    QUndoStack* undoStack() const { return m_undoStack; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::unique_ptr<DataFlashImage> m_storage;
    HexGridModel* m_model;
    QUndoStack* m_undoStack;
};

}  // namespace tavrel
