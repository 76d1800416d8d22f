// A 16-bit RAM of 1024 words as a soft core with byte-lane RAMs has it: two
// 8-bit memories, one per byte lane ("lane0" holds bits 7:0, "lane1" bits
// 15:8), each written by its own byte enable and loaded from its own
// placeholder.
module top (input clk, input [1:0] we, input [9:0] addr, input [15:0] din, output reg [15:0] data);
  reg [7:0] lane0 [0:1023];
  reg [7:0] lane1 [0:1023];
  initial $readmemh("lane0.seed", lane0);
  initial $readmemh("lane1.seed", lane1);
  always @(posedge clk) begin
    if (we[0]) lane0[addr] <= din[7:0];
    if (we[1]) lane1[addr] <= din[15:8];
    data <= {lane1[addr], lane0[addr]};
  end
endmodule
